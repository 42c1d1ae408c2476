#pragma once

#include <QString>

#include <quazip/quazipfileinfo.h>

#include <zlib.h>

// What an entry device has delivered, against the entry's recorded size and
// CRC: the read that would deliver the last bytes is the one that fails.
struct DeliveryCheck
{
    explicit DeliveryCheck(const QuaZipFileInfo64 &info)
        : expectedCrc(quint32(info.crc)), expectedSize(qint64(info.uncompressedSize))
    {
    }

    // Takes the n bytes just read into data; says why they cannot be the
    // entry's, or nothing.
    QString add(const char *data, qint64 n)
    {
        crc = quint32(crc32(crc, reinterpret_cast<const Bytef *>(data), uInt(n)));
        read += n;
        if (read > expectedSize)
            return QStringLiteral("entry holds more than its %1 bytes").arg(expectedSize);
        if (n == 0 && read < expectedSize)
            return QStringLiteral("entry ends after %1 of %2 bytes").arg(read).arg(expectedSize);
        if (n > 0 && read == expectedSize && crc != expectedCrc) // all delivered
            return QStringLiteral("CRC mismatch: the entry is damaged");
        return QString();
    }

    const quint32 expectedCrc;
    const qint64 expectedSize;
    quint32 crc = quint32(crc32(0, nullptr, 0));
    qint64 read = 0;
};
