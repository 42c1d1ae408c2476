#include "content/pkwarekeys.h"

#include <QTime>

#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>

bool passwordMatches(QuaZipFile &raw, const QuaZipFileInfo64 &info, PkwareKeys &keys)
{
    const QByteArray header = raw.read(kCryptHeaderSize);
    if (header.size() != kCryptHeaderSize)
        return false;
    quint8 last = 0;
    for (char c : header)
        last = keys.decrypt(quint8(c));
    if (last == quint8(info.crc >> 24))
        return true;
    if (!(info.flags & kDataDescriptorFlag))
        return false;
    const QTime t = info.dateTime.time();
    const quint16 dosTime = quint16((t.hour() << 11) | (t.minute() << 5) | (t.second() / 2));
    return t.isValid() && last == quint8(dosTime >> 8);
}
