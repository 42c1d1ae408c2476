#pragma once

#include <kelcab/entry.h>

#include <QIODevice>
#include <QSharedData>

#include <atomic>
#include <utility>
#include <vector>

namespace kelcab {

// Deeper trees are refused by the reader and the writer alike: records are
// read recursively and a hostile file must not exhaust the stack.
constexpr int kMaxTreeDepth = 256;
// name, offset, size, options, child count, hash: the smallest possible record.
constexpr qint64 kMinRecordSize = 4 + 8 + 8 + 4 + 4 + 4;

// Case-folded name hash -> child position, sorted, so that a lookup in a large
// directory is a binary search plus one confirming compare.
using ChildIndex = std::vector<std::pair<quint64, int>>;

class EntryData : public QSharedData
{
public:
    EntryData() = default;
    // A detached copy starts without an index: its children may change.
    EntryData(const EntryData &other)
        : QSharedData(other)
        , children(other.children)
        , hash(other.hash)
        , options(other.options)
        , offset(other.offset)
        , size(other.size)
        , name(other.name)
    {
    }
    ~EntryData() { delete index.load(std::memory_order_acquire); }
    EntryData &operator=(const EntryData &) = delete;

    void dropIndex() { delete index.exchange(nullptr, std::memory_order_acq_rel); }
    // Built on first use; concurrent builders race harmlessly, the loser's
    // index is discarded.
    const ChildIndex &childIndex() const;

    QVector<Entry> children;
    QByteArray hash;
    Entry::Options options = Entry::Directory;
    qint64 offset = 0;
    qint64 size = 0;
    QString name;
    mutable std::atomic<const ChildIndex *> index{nullptr};
};

// Hash of a name as QString::compare(..., Qt::CaseInsensitive) sees it: each
// UTF-16 unit folded on its own, a low surrogate together with its high one.
quint64 foldedNameHash(const QChar *name, int length);

// Reads entry records from a device with every claimed count and length
// checked against the bytes left before `end`.
class TreeReader
{
public:
    // dataLength >= 0 also checks every file's stored range against a data
    // region of that length.
    TreeReader(QIODevice *device, qint64 end, bool bigEndian, qint64 dataLength = -1);

    bool read(Entry &entry);
    QString errorString() const { return m_error; }
    bool pastEnd() const { return m_pastEnd; }

private:
    bool readEntry(Entry &entry, int depth, const QString &parentPath);
    bool readRaw(char *data, qint64 length);
    bool readU32(quint32 &value);
    bool readI64(qint64 &value);
    bool readString(QString &value, const QString &where);
    bool readBytes(QByteArray &value, const QString &where);
    qint64 remaining() const;
    bool fail(const QString &message);
    bool truncated(const QString &where);

    QIODevice *m_device;
    qint64 m_end;
    bool m_bigEndian;
    qint64 m_dataLength;
    bool m_pastEnd = false;
    QString m_error;
};

} // namespace kelcab
