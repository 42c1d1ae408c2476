#pragma once

#include "content/archiveaccessmanager.h"

#include <QScopedPointer>

namespace kelcab {
class Archive;
}

// A content archive in the kelcab format. Lookups ignore letter case and take
// the archive's root folder name as the first path component. Needs no lock:
// a loaded archive only looks entries up and opens a fresh handle per device.
class KelCabArchiveManager : public ArchiveAccessManager
{
    Q_OBJECT
public:
    // A file that cannot be opened leaves the manager empty (see isLoaded);
    // a file that is not a kelcab archive or is damaged makes the library's
    // std::runtime_error leave the constructor.
    explicit KelCabArchiveManager(const QString &path, QObject *parent = nullptr);
    ~KelCabArchiveManager() override;

    bool isLoaded() const { return !m_archive.isNull(); }

    bool exists(const QString &path) override;
    // Empty for a missing entry or a directory.
    QByteArray read(const QString &path) override;
    // Null for a missing entry or a directory. May throw std::runtime_error
    // when the archive file cannot be reopened.
    QIODevice *open(const QString &path) override;
    QString fileName() const override;

private:
    QScopedPointer<kelcab::Archive> m_archive;
};
