#include <kelcab/archive.h>
#include <kelcab/compresseddevice.h>
#include <kelcab/iodeviceview.h>

#include "archive_p.h"
#include "archivewriter_p.h"
#include "entry_p.h"

#include <QFile>
#include <QtEndian>

#include <memory>
#include <stdexcept>

namespace kelcab {

namespace {

[[noreturn]] void throwDamaged(const QString &what)
{
    throw std::runtime_error(QStringLiteral("Damaged KelCab file: %1").arg(what).toLocal8Bit().toStdString());
}

[[noreturn]] void throwNotKelCab()
{
    throw std::runtime_error("It is not an KelCab file");
}

bool readExactly(QIODevice &device, char *data, qint64 length)
{
    return device.read(data, length) == length;
}

} // namespace

Archive::Archive(QObject *parent)
    : QObject(parent)
    , d(new ArchivePrivate)
{
    qRegisterMetaType<kelcab::Entry>();
}

Archive::~Archive() = default;

void Archive::reset(const QString &path)
{
    d->path = path;
    d->version = 0;
    d->dataOffset = 0;
    d->treeOffset = 0;
    d->root = Entry();
}

bool Archive::load(const QString &path)
{
    reset(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;

    // The magic is a serialised QString: byte count 12, then "KELCAB" in
    // big-endian UTF-16.
    static const char magic[16] = {0, 0, 0, 12, 0, 'K', 0, 'E', 0, 'L', 0, 'C', 0, 'A', 0, 'B'};
    char header[kHeaderSize];
    if (!readExactly(file, header, 16) || memcmp(header, magic, 16) != 0)
        throwNotKelCab();
    if (!readExactly(file, header + 16, kHeaderSize - 16))
        throwDamaged(QStringLiteral("header is truncated"));

    const quint16 version = qFromBigEndian<quint16>(header + 16);
    const qint64 treeOffset = qFromBigEndian<qint64>(header + 18);
    const qint64 dataOffset = qFromBigEndian<qint64>(header + 26);
    const qint64 fileSize = file.size();
    if (dataOffset < kHeaderSize || dataOffset > fileSize)
        throwDamaged(QStringLiteral("data offset %1 lies outside the file of %2 bytes").arg(dataOffset).arg(fileSize));
    if (treeOffset < dataOffset || treeOffset > fileSize - kMinRecordSize)
        throwDamaged(QStringLiteral("tree offset %1 lies outside the file of %2 bytes").arg(treeOffset).arg(fileSize));
    if (!file.seek(treeOffset))
        throwDamaged(QStringLiteral("tree cannot be reached: %1").arg(file.errorString()));

    TreeReader reader(&file, fileSize, true, treeOffset - dataOffset);
    Entry root;
    if (!reader.read(root))
        throwDamaged(reader.errorString());

    d->version = version;
    d->treeOffset = treeOffset;
    d->dataOffset = dataOffset;
    d->root = root;
    emit headLoaded(version, dataOffset);
    return true;
}

Archive *Archive::makeAndLoad(const QString &path)
{
    std::unique_ptr<Archive> archive(new Archive);
    if (!archive->load(path))
        return nullptr;
    return archive.release();
}

bool Archive::save(const QDir &dir, const QString &path)
{
    reset(path);
    ArchiveWriter writer(this);
    return writer.save(dir, path);
}

Archive *Archive::makeAndSave(const QString &path, const QDir &dir)
{
    std::unique_ptr<Archive> archive(new Archive);
    if (!archive->save(dir, path))
        return nullptr;
    return archive.release();
}

Entry Archive::find(const QString &path) const
{
    QString normalized = path;
    normalized.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QVector<QStringRef> parts = normalized.splitRef(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return Entry();
    if (QStringRef::compare(parts.first(), d->root.name(), Qt::CaseInsensitive) != 0 || !d->root.isValid())
        return Entry();
    Entry current = d->root;
    for (int i = 1; i < parts.size(); ++i) {
        current = current.findChild(parts.at(i));
        if (!current.isValid())
            break;
    }
    return current;
}

Entry Archive::root() const
{
    return d->root;
}

QIODevice *Archive::makeReadOnlyDevice(const Entry &entry)
{
    if (!entry.isFile())
        return nullptr;
    // An entry made by hand may point anywhere; only the data region is ours.
    const qint64 region = d->treeOffset - d->dataOffset;
    if (entry.offset() < 0 || entry.size() < 0 || entry.offset() > region || entry.size() > region - entry.offset())
        return nullptr;

    auto *file = new QFile(d->path);
    // The views buffer raw reads and the page reader reads whole records, so
    // the file itself needs no buffer.
    if (!file->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        const QString error = file->errorString();
        delete file;
        throw std::runtime_error(QStringLiteral("Kelcab cannot open kelcab file: %1").arg(error).toLocal8Bit().toStdString());
    }
    const bool compressed = entry.options().testFlag(Entry::Compressed);
    std::unique_ptr<IODeviceView> view(new IODeviceView(file, d->dataOffset + entry.offset(), entry.size()));
    if (!view->open(compressed ? QIODevice::ReadOnly | QIODevice::Unbuffered : QIODevice::ReadOnly))
        return nullptr;

    QIODevice *result = nullptr;
    if (compressed) {
        std::unique_ptr<CompressedDevice> device(new CompressedDevice(view.get(), true));
        view.release();
        if (!device->open(QIODevice::ReadOnly))
            throw std::runtime_error("Kelcab cannot open compressed file");
        result = device.release();
    } else {
        result = view.release();
    }
    emit entryOpened(entry);
    return result;
}

QString Archive::path() const { return d->path; }
quint16 Archive::version() const { return d->version; }
qint64 Archive::dataOffset() const { return d->dataOffset; }
qint64 Archive::treeOffset() const { return d->treeOffset; }

} // namespace kelcab
