#include "plugins/zip/zipentry.h"

#include <QFile>
#include <QIODevice>
#include <QtEndian>
#include <QStringList>

namespace ZipEntry {

namespace {
constexpr qint64 kChunkSize = 256 * 1024;

bool hasDriveLetter(const QString &name)
{
    return name.size() >= 2 && name.at(1) == QLatin1Char(':') && name.at(0).isLetter();
}
} // namespace

std::optional<QString> relativePath(const QString &name)
{
    QString path = name;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || hasDriveLetter(path))
        return std::nullopt;
    const bool folder = path.endsWith(QLatin1Char('/'));
    QStringList kept;
    for (const QString &segment : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (segment == QLatin1String("."))
            continue;
        if (segment == QLatin1String("..")) {
            if (kept.isEmpty())
                return std::nullopt;
            kept.removeLast();
            continue;
        }
        kept.append(segment);
    }
    // Only a folder may name the extraction folder itself ("./").
    if (kept.isEmpty())
        return folder ? std::optional<QString>(QString()) : std::nullopt;
    QString out = kept.join(QLatin1Char('/'));
    if (folder)
        out.append(QLatin1Char('/'));
    return out;
}

bool copy(QIODevice &source, QIODevice &target, bool *readFailed, const std::atomic<bool> *stop)
{
    if (readFailed)
        *readFailed = false;
    // One buffer per thread: a fresh quarter megabyte per entry would cost a
    // mapping and an unmapping for every small file of a large extraction.
    thread_local QByteArray buffer(int(kChunkSize), Qt::Uninitialized);
    for (;;) {
        if (stop && stop->load())
            return false;
        const qint64 n = source.read(buffer.data(), kChunkSize);
        if (n < 0) {
            if (readFailed)
                *readFailed = true;
            return false;
        }
        if (n == 0)
            return true;
        if (target.write(buffer.constData(), n) != n)
            return false;
    }
}

bool isEmptyArchive(const QString &zipPath)
{
    constexpr qint64 kEndRecord = 22; // without its comment
    QFile file(zipPath);
    if (!file.open(QIODevice::ReadOnly) || file.size() < kEndRecord
        || file.size() > kEndRecord + 0xffff)
        return false;
    const QByteArray all = file.readAll();
    // The end record is followed by exactly its comment.
    for (int at = all.size() - int(kEndRecord); at >= 0; --at) {
        if (!all.mid(at, 4).startsWith("PK\x05\x06"))
            continue;
        const auto *p = reinterpret_cast<const uchar *>(all.constData() + at);
        if (at + kEndRecord + qFromLittleEndian<quint16>(p + 20) != all.size())
            continue;
        // Entries on this disk, entries in total, directory size.
        return qFromLittleEndian<quint16>(p + 8) == 0 && qFromLittleEndian<quint16>(p + 10) == 0
            && qFromLittleEndian<quint32>(p + 12) == 0;
    }
    return false;
}

} // namespace ZipEntry
