#pragma once

#include <QByteArray>
#include <QString>

namespace kelcab {
namespace detail {

constexpr int kPageSize = 524288;
// Largest zlib stream that deflate can make of one page; a record claiming
// more is damaged, whatever its device says.
qint64 maxCompressedPageSize();

// One page record: 32-bit big-endian N, 32-bit big-endian page length, zlib
// stream at level 9. Bytes 4 onward equal qCompress(page, 9).
QByteArray compressPageRecord(const char *data, int size);

// Inflates a record's zlib stream into out, which must hold expectedLength
// bytes. False (with a message) unless the stream is intact and yields
// exactly expectedLength bytes.
bool inflatePage(const char *stream, qint64 streamLength, char *out, int expectedLength, QString *error);

inline quint32 readBigEndian32(const char *p)
{
    const auto *u = reinterpret_cast<const uchar *>(p);
    return (quint32(u[0]) << 24) | (quint32(u[1]) << 16) | (quint32(u[2]) << 8) | quint32(u[3]);
}

} // namespace detail
} // namespace kelcab
