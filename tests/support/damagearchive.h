#pragma once

// Damages one entry of a packed content archive in place, as a bad disk
// would: 16 bytes inverted inside the entry's compressed data.

#include <QFile>
#include <QString>
#include <QtEndian>

#include <kelcab/archive.h>
#include <kelcab/entry.h>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/unzip.h>

#include <memory>

namespace DamageArchive {

constexpr int kDamagedBytes = 16;

inline bool failWith(QString *error, const QString &text)
{
    *error = text;
    return false;
}

inline bool invertBytes(const QString &path, qint64 offset, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite) || !file.seek(offset))
        return failWith(error, QStringLiteral("cannot open %1: %2").arg(path, file.errorString()));
    QByteArray bytes = file.read(kDamagedBytes);
    if (bytes.size() != kDamagedBytes)
        return failWith(error, QStringLiteral("%1 ends before offset %2")
                                   .arg(path)
                                   .arg(offset + kDamagedBytes));
    for (char &c : bytes)
        c = char(~quint8(c));
    return file.seek(offset) && file.write(bytes) == kDamagedBytes;
}

// At `fraction` of the zip entry's compressed data (after a crypt header).
inline bool damageZipEntry(const QString &zipPath, const QString &entry, double fraction,
                           QString *error)
{
    QuaZip zip(zipPath);
    if (!zip.open(QuaZip::mdUnzip) || !zip.setCurrentFile(entry))
        return failWith(error, QStringLiteral("no entry %1 in %2").arg(entry, zipPath));
    QuaZipFile raw(&zip);
    if (!raw.open(QIODevice::ReadOnly, nullptr, nullptr, true))
        return failWith(error, QStringLiteral("cannot open %1 raw").arg(entry));
    const qint64 start = qint64(unzGetCurrentFileZStreamPos64(zip.getUnzFile()));
    const qint64 compressed = raw.csize();
    raw.close();
    zip.close();
    if (compressed < 4 * kDamagedBytes)
        return failWith(error, QStringLiteral("%1 is too small to damage").arg(entry));
    return invertBytes(zipPath, start + qint64(double(compressed - kDamagedBytes) * fraction), error);
}

// In the middle of page `page` (0 = first) of a compressed kelcab entry.
inline bool damageKelcabPage(const QString &archivePath, const QString &entry, int page,
                             QString *error)
{
    std::unique_ptr<kelcab::Archive> archive(kelcab::Archive::makeAndLoad(archivePath));
    const kelcab::Entry found = archive ? archive->find(entry) : kelcab::Entry();
    QFile file(archivePath);
    if (!found.isFile() || !found.options().testFlag(kelcab::Entry::Compressed)
        || !file.open(QIODevice::ReadOnly))
        return failWith(error,
                        QStringLiteral("no compressed entry %1 in %2").arg(entry, archivePath));
    // Page records: 32-bit big-endian length, the page length, the zlib stream.
    const auto lengthAt = [&file](qint64 at) -> qint64 {
        const QByteArray bytes = file.seek(at) ? file.read(4) : QByteArray();
        return bytes.size() == 4 ? qint64(qFromBigEndian<quint32>(bytes.constData())) : 0;
    };
    qint64 record = archive->dataOffset() + found.offset();
    for (int i = 0; i < page; ++i)
        record += 4 + lengthAt(record);
    const qint64 stream = lengthAt(record) - 4;
    file.close();
    if (record + 8 + stream > archive->dataOffset() + found.offset() + found.size()
        || stream < 4 * kDamagedBytes)
        return failWith(error, QStringLiteral("%1 has no page %2 to damage").arg(entry).arg(page));
    return invertBytes(archivePath, record + 8 + (stream - kDamagedBytes) / 2, error);
}

} // namespace DamageArchive
