#pragma once

#include "content/archiveaccessmanager.h"

#include <QHash>

#include <memory>

class ZipHandlePool;

// A zip content archive read with QuaZip. Entries are opened with the
// built-in content password unless the configuration says the archive is not
// encrypted ("wrapper"/"encrypted"); unencrypted entries open either way.
class ZipArchiveAccessManager : public ArchiveAccessManager
{
    Q_OBJECT
public:
    // Throws ArchiveException (QuaZip's error code, empty message) when the
    // file cannot be opened as a zip archive.
    explicit ZipArchiveAccessManager(const QString &path, QObject *parent = nullptr);
    ~ZipArchiveAccessManager() override;

    // Exact match of the entry name (QuaZip's default case rule: letter
    // case counts except on Windows).
    bool exists(const QString &path) override;
    // Throws ArchiveException "file not found: <path>" for a missing entry and
    // "cannot open file: <path>" when the entry cannot be opened.
    QByteArray read(const QString &path) override;
    // Throws ArchiveException "cannot open file: <path>" for a missing or
    // damaged entry or a wrong password. Every device has a handle on the
    // archive of its own (reused from earlier devices when one is free) and
    // goes straight to its entry.
    QIODevice *open(const QString &path) override;
    QString fileName() const override { return m_path; }

private:
    static QString indexKey(const QString &name);

    // Where an entry's record sits in the central directory.
    struct EntryPosition
    {
        quint64 directoryOffset;
        quint64 fileNumber;
    };

    QString m_path;
    // Entry name -> its place in the central directory, read once: lookups
    // need neither a lock nor a walk through the directory. Not changed
    // after construction, so any thread may read it.
    QHash<QString, EntryPosition> m_index;
    // Opened handles on the archive, reused by the devices one at a time.
    std::shared_ptr<ZipHandlePool> m_handles;
};
