#include "entry_p.h"

#include <QtEndian>

#include <algorithm>
#include <limits>

namespace kelcab {

namespace {

// Below this many children a linear scan beats hashing the name.
constexpr int kIndexThreshold = 16;
// Strings and arrays of unknown-size devices are read in steps of this size,
// so a lying length costs at most what the device really holds.
constexpr qint64 kReadStep = 1024 * 1024;

} // namespace

quint64 foldedNameHash(const QChar *name, int length)
{
    quint64 hash = 14695981039346656037ULL;
    ushort last = 0;
    for (int i = 0; i < length; ++i) {
        const ushort unit = name[i].unicode();
        uint ucs4 = unit;
        if (QChar::isLowSurrogate(unit) && QChar::isHighSurrogate(last))
            ucs4 = QChar::surrogateToUcs4(last, unit);
        last = unit;
        hash = (hash ^ QChar::toCaseFolded(ucs4)) * 1099511628211ULL;
    }
    return hash;
}

const ChildIndex &EntryData::childIndex() const
{
    if (const ChildIndex *existing = index.load(std::memory_order_acquire))
        return *existing;
    auto *built = new ChildIndex;
    built->reserve(size_t(children.size()));
    for (int i = 0; i < children.size(); ++i) {
        const QString &childName = children.at(i).d->name;
        built->emplace_back(foldedNameHash(childName.constData(), childName.size()), i);
    }
    std::sort(built->begin(), built->end());
    const ChildIndex *expected = nullptr;
    if (index.compare_exchange_strong(expected, built, std::memory_order_acq_rel, std::memory_order_acquire))
        return *built;
    delete built;
    return *expected;
}

Entry::Entry(const QString &name, const QVector<Entry> &children)
    : d(new EntryData)
{
    d->name = name;
    d->children = children;
}

Entry::Entry(const QString &name, qint64 offset, qint64 size)
    : d(new EntryData)
{
    d->name = name;
    d->offset = offset;
    d->size = size;
    d->options = {};
}

// A moved-from entry keeps sharing the data: it must stay usable.
Entry::Entry(const Entry &other) = default;
Entry::Entry(Entry &&other) noexcept : d(other.d) {}
Entry &Entry::operator=(const Entry &other) = default;
Entry &Entry::operator=(Entry &&other) noexcept
{
    d.swap(other.d);
    return *this;
}
Entry::~Entry() = default;

QString Entry::name() const { return d->name; }
qint64 Entry::offset() const { return d->offset; }
qint64 Entry::size() const { return d->size; }
Entry::Options Entry::options() const { return d->options; }
QByteArray Entry::hash() const { return d->hash; }
QVector<Entry> Entry::children() const { return d->children; }
bool Entry::isDir() const { return d->options.testFlag(Directory); }
bool Entry::isFile() const { return !isDir(); }
bool Entry::isValid() const { return !d->name.isEmpty(); }

Entry Entry::findChild(const QStringRef &name) const
{
    const QVector<Entry> &children = d->children;
    if (children.size() < kIndexThreshold) {
        for (const Entry &child : children) {
            if (QStringRef::compare(name, child.d->name, Qt::CaseInsensitive) == 0)
                return child;
        }
        return Entry();
    }
    const ChildIndex &index = d->childIndex();
    const quint64 hash = foldedNameHash(name.unicode(), name.size());
    auto it = std::lower_bound(index.begin(), index.end(), std::make_pair(hash, std::numeric_limits<int>::min()));
    // Same-hash candidates come in stored order, so the first match is the
    // first stored one, as with a scan.
    for (; it != index.end() && it->first == hash; ++it) {
        const Entry &child = children.at(it->second);
        if (QStringRef::compare(name, child.d->name, Qt::CaseInsensitive) == 0)
            return child;
    }
    return Entry();
}

Entry Entry::findChild(const QString &name) const
{
    return findChild(QStringRef(&name));
}

void Entry::add(const Entry &child)
{
    d->children.append(child);
    d->dropIndex();
}

void Entry::setOptions(Options options) { d->options = options; }
void Entry::setOffset(qint64 offset) { d->offset = offset; }
void Entry::setSize(qint64 size) { d->size = size; }
void Entry::setHash(const QByteArray &hash) { d->hash = hash; }

bool Entry::operator<(const Entry &other) const
{
    return d->name < other.d->name;
}

QDataStream &operator<<(QDataStream &out, const Entry &entry)
{
    const QVector<Entry> children = entry.children();
    out << entry.name() << qint64(entry.offset()) << qint64(entry.size())
        << qint32(entry.options()) << quint32(children.size());
    for (const Entry &child : children)
        out << child;
    out << entry.hash();
    return out;
}

QDataStream &operator>>(QDataStream &in, Entry &entry)
{
    if (in.status() != QDataStream::Ok)
        return in;
    QIODevice *device = in.device();
    if (!device) {
        in.setStatus(QDataStream::ReadPastEnd);
        return in;
    }
    const qint64 end = device->isSequential() ? std::numeric_limits<qint64>::max() : device->size();
    TreeReader reader(device, end, in.byteOrder() == QDataStream::BigEndian);
    Entry read;
    if (reader.read(read)) {
        entry = read;
    } else {
        entry = Entry();
        in.setStatus(reader.pastEnd() ? QDataStream::ReadPastEnd : QDataStream::ReadCorruptData);
    }
    return in;
}

TreeReader::TreeReader(QIODevice *device, qint64 end, bool bigEndian, qint64 dataLength)
    : m_device(device)
    , m_end(end)
    , m_bigEndian(bigEndian)
    , m_dataLength(dataLength)
{
}

bool TreeReader::read(Entry &entry)
{
    return readEntry(entry, 0, QString());
}

qint64 TreeReader::remaining() const
{
    if (m_end == std::numeric_limits<qint64>::max())
        return m_end;
    return qMax<qint64>(0, m_end - m_device->pos());
}

bool TreeReader::fail(const QString &message)
{
    if (m_error.isEmpty())
        m_error = message;
    return false;
}

bool TreeReader::truncated(const QString &where)
{
    m_pastEnd = true;
    return fail(QStringLiteral("entry tree ends early %1").arg(where));
}

bool TreeReader::readRaw(char *data, qint64 length)
{
    qint64 done = 0;
    while (done < length) {
        const qint64 n = m_device->read(data + done, length - done);
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

bool TreeReader::readU32(quint32 &value)
{
    char raw[4];
    if (!readRaw(raw, 4))
        return false;
    value = m_bigEndian ? qFromBigEndian<quint32>(raw) : qFromLittleEndian<quint32>(raw);
    return true;
}

bool TreeReader::readI64(qint64 &value)
{
    char raw[8];
    if (!readRaw(raw, 8))
        return false;
    value = m_bigEndian ? qFromBigEndian<qint64>(raw) : qFromLittleEndian<qint64>(raw);
    return true;
}

bool TreeReader::readString(QString &value, const QString &where)
{
    quint32 bytes = 0;
    if (!readU32(bytes))
        return truncated(where);
    if (bytes == 0xFFFFFFFFu) {
        value = QString();
        return true;
    }
    if (bytes & 1u)
        return fail(QStringLiteral("name of odd byte length %1 %2").arg(bytes).arg(where));
    if (qint64(bytes) > remaining())
        return fail(QStringLiteral("name of %1 bytes %2 exceeds the %3 bytes left").arg(bytes).arg(where).arg(remaining()));
    // QString holds at most 2^30 units; a longer name is not a name.
    if (bytes / 2 > quint32(std::numeric_limits<int>::max() / 2))
        return fail(QStringLiteral("name of %1 bytes %2 is too long").arg(bytes).arg(where));
    const int units = int(bytes / 2);
    value = QString();
    int done = 0;
    while (done < units) {
        const int step = int(qMin<qint64>(kReadStep / 2, units - done));
        value.resize(done + step);
        if (!readRaw(reinterpret_cast<char *>(value.data() + done), qint64(step) * 2))
            return truncated(where);
        done += step;
    }
    ushort *utf16 = reinterpret_cast<ushort *>(value.data());
    if (m_bigEndian)
        qFromBigEndian<ushort>(utf16, units, utf16);
    else
        qFromLittleEndian<ushort>(utf16, units, utf16);
    if (units == 0)
        value = QString(QLatin1String(""));
    return true;
}

bool TreeReader::readBytes(QByteArray &value, const QString &where)
{
    quint32 bytes = 0;
    if (!readU32(bytes))
        return truncated(where);
    if (bytes == 0xFFFFFFFFu) {
        value = QByteArray();
        return true;
    }
    if (qint64(bytes) > remaining())
        return fail(QStringLiteral("hash of %1 bytes %2 exceeds the %3 bytes left").arg(bytes).arg(where).arg(remaining()));
    if (bytes > quint32(std::numeric_limits<int>::max() / 2))
        return fail(QStringLiteral("hash of %1 bytes %2 is too long").arg(bytes).arg(where));
    value = QByteArray("");
    int done = 0;
    while (done < int(bytes)) {
        const int step = int(qMin<qint64>(kReadStep, qint64(bytes) - done));
        value.resize(done + step);
        if (!readRaw(value.data() + done, step))
            return truncated(where);
        done += step;
    }
    return true;
}

bool TreeReader::readEntry(Entry &entry, int depth, const QString &parentPath)
{
    const QString here = parentPath.isEmpty() ? QStringLiteral("at the root")
                                              : QStringLiteral("inside '%1'").arg(parentPath);
    if (depth > kMaxTreeDepth)
        return fail(QStringLiteral("entry tree is deeper than %1 levels %2").arg(kMaxTreeDepth).arg(here));

    QString name;
    if (!readString(name, here))
        return false;
    const QString path = parentPath.isEmpty() ? name : parentPath + QLatin1Char('/') + name;
    const QString at = QStringLiteral("at '%1'").arg(path);

    qint64 offset = 0;
    qint64 size = 0;
    quint32 rawOptions = 0;
    quint32 count = 0;
    if (!readI64(offset) || !readI64(size) || !readU32(rawOptions) || !readU32(count))
        return truncated(at);
    if (qint64(count) > remaining() / kMinRecordSize) {
        return fail(QStringLiteral("'%1' claims %2 children but only %3 bytes are left")
                        .arg(path).arg(count).arg(remaining()));
    }

    QVector<Entry> children;
    children.reserve(int(qMin<quint32>(count, 1024)));
    for (quint32 i = 0; i < count; ++i) {
        Entry child;
        if (!readEntry(child, depth + 1, path))
            return false;
        children.append(child);
    }

    QByteArray hash;
    if (!readBytes(hash, at))
        return false;

    const Entry::Options options(static_cast<int>(rawOptions));
    if (options.testFlag(Entry::Directory)) {
        entry = Entry(name, children);
    } else {
        if (m_dataLength >= 0
            && (offset < 0 || size < 0 || offset > m_dataLength || size > m_dataLength - offset)) {
            return fail(QStringLiteral("'%1' lies outside the data region (offset %2, size %3, region of %4 bytes)")
                            .arg(path).arg(offset).arg(size).arg(m_dataLength));
        }
        entry = Entry(name, offset, size);
    }
    entry.setOptions(options);
    entry.setHash(hash);
    return true;
}

} // namespace kelcab
