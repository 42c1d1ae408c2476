#pragma once

// Helpers for the kelcab tests: archive bytes built by hand from the format,
// independent of the library's own writer and reader.

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QString>
#include <QVector>
#include <QtEndian>

namespace kelcabtest {

constexpr int kPage = 524288;

inline QByteArray be16(quint16 v) { QByteArray b(2, 0); qToBigEndian(v, b.data()); return b; }
inline QByteArray be32(quint32 v) { QByteArray b(4, 0); qToBigEndian(v, b.data()); return b; }
inline QByteArray be64(qint64 v) { QByteArray b(8, 0); qToBigEndian(v, b.data()); return b; }

// A QString as QDataStream writes it: byte count, then UTF-16 big-endian.
inline QByteArray qstr(const QString &s)
{
    QByteArray out = be32(quint32(s.size() * 2));
    for (QChar c : s)
        out += be16(c.unicode());
    return out;
}

// A QByteArray as QDataStream writes it; null is the count 0xFFFFFFFF.
inline QByteArray qbytes(const QByteArray &b)
{
    return b.isNull() ? be32(0xFFFFFFFFu) : be32(quint32(b.size())) + b;
}

inline QByteArray header(qint64 treeOffset, qint64 dataOffset = 34, quint16 version = 2)
{
    return qstr(QStringLiteral("KELCAB")) + be16(version) + be64(treeOffset) + be64(dataOffset);
}

struct Rec
{
    QString name;
    qint64 offset = 0;
    qint64 size = 0;
    qint32 options = 0;
    QVector<Rec> children;
    QByteArray hash;

    static Rec dir(const QString &name, const QVector<Rec> &children = {})
    {
        return {name, 0, 0, 0x4, children, QByteArray()};
    }
    static Rec file(const QString &name, qint64 offset, qint64 size, qint32 options = 0, const QByteArray &hash = QByteArray(16, 'h'))
    {
        return {name, offset, size, options, {}, hash};
    }
};

inline QByteArray record(const Rec &r)
{
    QByteArray out = qstr(r.name) + be64(r.offset) + be64(r.size) + be32(quint32(r.options))
        + be32(quint32(r.children.size()));
    for (const Rec &c : r.children)
        out += record(c);
    return out + qbytes(r.hash);
}

// One page record: length of what follows, then qCompress(page, 9).
inline QByteArray pageRecord(const QByteArray &page)
{
    const QByteArray z = qCompress(page, 9);
    return be32(quint32(z.size())) + z;
}

inline QByteArray pageSequence(const QByteArray &data)
{
    QByteArray out;
    for (int at = 0; at < data.size(); at += kPage)
        out += pageRecord(data.mid(at, kPage));
    return out;
}

// header + data + tree, with the header's offsets filled in.
inline QByteArray archiveBytes(const QByteArray &data, const Rec &root)
{
    return header(34 + data.size()) + data + record(root);
}

inline QByteArray md5(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5);
}

inline QByteArray randomBytes(int size, quint32 seed)
{
    QVector<quint32> words((size + 3) / 4);
    QRandomGenerator(seed).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

inline QByteArray compressibleBytes(int size)
{
    QByteArray out;
    out.reserve(size);
    int line = 0;
    while (out.size() < size)
        out += "function item" + QByteArray::number(line++) + "() { return 'course content'; }\n";
    out.truncate(size);
    return out;
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Reads a device to its end in chunks of `chunk`; ok is false on a failed read.
inline QByteArray drain(QIODevice *device, qint64 chunk, bool *ok)
{
    QByteArray out;
    QByteArray buffer(int(chunk), Qt::Uninitialized);
    for (;;) {
        const qint64 n = device->read(buffer.data(), chunk);
        *ok = n >= 0;
        if (n <= 0)
            return out;
        out.append(buffer.constData(), int(n));
    }
}

} // namespace kelcabtest
