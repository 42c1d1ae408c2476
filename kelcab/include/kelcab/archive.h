#pragma once

#include <kelcab/entry.h>
#include <kelcab/kelcab_global.h>

#include <QDir>
#include <QObject>
#include <QString>

#include <memory>

class QIODevice;

namespace kelcab {

class ArchivePrivate;

// A kelcab archive: a folder tree packed into one file.
//
// Errors:
//  - load() returns false when the file cannot be opened, and throws
//    std::runtime_error when it is not a kelcab file ("It is not an KelCab
//    file") or when its header or tree is damaged (a message starting with
//    "Damaged KelCab file"). After a failed load the archive is empty.
//  - makeReadOnlyDevice() throws std::runtime_error when the archive file
//    cannot be reopened.
//  - save() returns false when the archive file cannot be created and throws
//    std::runtime_error for any later failure; in both cases no archive file
//    is left at the target path (an existing one is kept unchanged).
//
// A loaded archive may be used from several threads at once (find, root,
// makeReadOnlyDevice) as long as nobody calls load or save meanwhile.
class KELCAB_EXPORT Archive : public QObject
{
    Q_OBJECT
public:
    explicit Archive(QObject *parent = nullptr);
    ~Archive() override;

    bool load(const QString &path);
    // A new archive loaded from path, or null when the file cannot be opened.
    // Exceptions of load() pass through (nothing leaks).
    static Archive *makeAndLoad(const QString &path);

    // Packs the tree under dir into a new archive file at path. The archive
    // then describes the new file. Pages are compressed on a private thread
    // pool; signals are still emitted on the calling thread, in file order.
    bool save(const QDir &dir, const QString &path);
    static Archive *makeAndSave(const QString &path, const QDir &dir);

    // Looks a path up from the root. The first component is the root's own
    // name (the packed folder's name); every component matches ignoring
    // letter case; backslashes count as slashes and empty components are
    // skipped. Returns the invalid entry when nothing matches.
    Entry find(const QString &path) const;
    Entry root() const;

    // An open, read-only device yielding the entry's file bytes; the caller
    // owns it. Null for directories, invalid entries and entries whose stored
    // range lies outside the data region. A compressed entry's device is
    // sequential and reports a damaged page by read() returning -1 with
    // errorString() set.
    QIODevice *makeReadOnlyDevice(const Entry &entry);

    QString path() const;
    quint16 version() const;
    qint64 dataOffset() const;
    qint64 treeOffset() const;

signals:
    void headLoaded(ushort version, qlonglong dataOffset);
    void entryOpened(const kelcab::Entry &entry);
    void entryCompressed(const kelcab::Entry &entry, qlonglong size, qlonglong compressedSize);

private:
    friend class ArchiveWriter;
    void reset(const QString &path);

    std::unique_ptr<ArchivePrivate> d;
};

} // namespace kelcab
