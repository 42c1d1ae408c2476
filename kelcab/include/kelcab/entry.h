#pragma once

#include <kelcab/kelcab_global.h>

#include <QByteArray>
#include <QDataStream>
#include <QMetaType>
#include <QSharedDataPointer>
#include <QString>
#include <QStringRef>
#include <QVector>

namespace kelcab {

class EntryData;

// One node of an archive's tree: a file or a directory. A value type; copies
// share their data, so handing entries around is cheap.
//
// A file's offset and size locate its stored bytes inside the archive's data
// region; for a Compressed file the size is that of its page sequence, not of
// the file. hash() is the MD5 of the file's content.
class KELCAB_EXPORT Entry
{
public:
    enum Option {
        Compressed = 0x2,
        Directory = 0x4,
    };
    Q_DECLARE_FLAGS(Options, Option)

    // A directory. With both defaults this is the invalid entry that failed
    // lookups return.
    explicit Entry(const QString &name = QString(), const QVector<Entry> &children = QVector<Entry>());
    // A file with no options and no hash.
    Entry(const QString &name, qint64 offset, qint64 size);

    Entry(const Entry &other);
    Entry(Entry &&other) noexcept;
    Entry &operator=(const Entry &other);
    Entry &operator=(Entry &&other) noexcept;
    ~Entry();

    QString name() const;
    qint64 offset() const;
    qint64 size() const;
    Options options() const;
    QByteArray hash() const;
    QVector<Entry> children() const;

    bool isDir() const;
    bool isFile() const;
    // True when the entry has a name.
    bool isValid() const;

    // The first child, in stored order, whose name matches ignoring letter
    // case; the invalid entry if none does. Large directories are looked up
    // through an index built on first use (safe from several threads).
    Entry findChild(const QStringRef &name) const;
    Entry findChild(const QString &name) const;

    void add(const Entry &child);
    void setOptions(Options options);

    // Orders by name, case-sensitively.
    bool operator<(const Entry &other) const;

protected:
    void setOffset(qint64 offset);
    void setSize(qint64 size);

private:
    friend class Archive;
    friend class ArchiveWriter;
    friend class TreeReader;
    friend class EntryData;
    friend KELCAB_EXPORT QDataStream &operator>>(QDataStream &in, Entry &entry);
    void setHash(const QByteArray &hash);

    QSharedDataPointer<EntryData> d;
};

// Writes the entry's record (and, recursively, its children's) in the archive
// format, in the stream's byte order.
KELCAB_EXPORT QDataStream &operator<<(QDataStream &out, const Entry &entry);
// Reads one record. Damaged or implausible input (a count or length larger
// than the device can hold, a tree deeper than 256 levels) leaves the invalid
// entry and sets the stream's status to ReadCorruptData or ReadPastEnd.
KELCAB_EXPORT QDataStream &operator>>(QDataStream &in, Entry &entry);

} // namespace kelcab

Q_DECLARE_OPERATORS_FOR_FLAGS(kelcab::Entry::Options)
Q_DECLARE_TYPEINFO(kelcab::Entry, Q_MOVABLE_TYPE);
Q_DECLARE_METATYPE(kelcab::Entry)
