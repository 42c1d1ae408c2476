#include "pagecodec_p.h"

#include <QtEndian>

#include <new>
#include <zlib.h>

namespace kelcab {
namespace detail {

qint64 maxCompressedPageSize()
{
    return qint64(compressBound(kPageSize));
}

QByteArray compressPageRecord(const char *data, int size)
{
    uLongf length = compressBound(uLong(size));
    QByteArray record(int(8 + length), Qt::Uninitialized);
    const int rc = compress2(reinterpret_cast<Bytef *>(record.data() + 8), &length,
                             reinterpret_cast<const Bytef *>(data), uLong(size), 9);
    // compressBound is enough by definition; only memory can run out.
    if (rc != Z_OK)
        throw std::bad_alloc();
    qToBigEndian<quint32>(quint32(length + 4), record.data());
    qToBigEndian<quint32>(quint32(size), record.data() + 4);
    record.resize(int(8 + length));
    return record;
}

bool inflatePage(const char *stream, qint64 streamLength, char *out, int expectedLength, QString *error)
{
    uLongf length = uLongf(expectedLength);
    const int rc = uncompress(reinterpret_cast<Bytef *>(out), &length,
                              reinterpret_cast<const Bytef *>(stream), uLong(streamLength));
    if (rc == Z_OK && length == uLongf(expectedLength))
        return true;
    if (rc == Z_OK)
        *error = QStringLiteral("compressed page holds %1 bytes instead of %2").arg(length).arg(expectedLength);
    else if (rc == Z_BUF_ERROR)
        *error = QStringLiteral("compressed page is truncated or longer than its stated %1 bytes").arg(expectedLength);
    else if (rc == Z_MEM_ERROR)
        *error = QStringLiteral("out of memory while inflating a page");
    else
        *error = QStringLiteral("compressed page is damaged (zlib error %1)").arg(rc);
    return false;
}

} // namespace detail
} // namespace kelcab
