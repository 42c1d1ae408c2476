#include "content/ziparchiveaccessmanager.h"

#include "app/settingsmanager.h"
#include "bridge/constants.h"
#include "content/archiveexception.h"
#include "content/contentpassword.h"
#include "content/owningzipfile.h"
#include "content/pkwarekeys.h"
#include "content/rawzipentry.h"
#include "content/ziphandlepool.h"

#include <QScopedPointer>

#include <quazip/quazip.h>
#include <quazip/quazipfileinfo.h>
#include <quazip/unzip.h>

#include <zlib.h>

#include <memory>

ZipArchiveAccessManager::ZipArchiveAccessManager(const QString &path, QObject *parent)
    : ArchiveAccessManager(parent), m_path(path), m_handles(std::make_shared<ZipHandlePool>(path))
{
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdUnzip))
        throw ArchiveException(zip.getZipError(), QString());
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        unz64_file_pos position;
        if (unzGetFilePos64(zip.getUnzFile(), &position) != UNZ_OK)
            break;
        const QString key = indexKey(zip.getCurrentFileName());
        // The first of two entries with one name wins, as in a lookup by name.
        if (!m_index.contains(key))
            m_index.insert(key, {quint64(position.pos_in_zip_directory), quint64(position.num_of_file)});
    }
    const int error = zip.getZipError();
    zip.close();
    if (error != UNZ_OK)
        throw ArchiveException(error, QString());
}

ZipArchiveAccessManager::~ZipArchiveAccessManager() = default;

QString ZipArchiveAccessManager::indexKey(const QString &name)
{
#ifdef Q_OS_WIN
    return name.toLower();
#else
    return name;
#endif
}

bool ZipArchiveAccessManager::exists(const QString &path)
{
    return m_index.contains(indexKey(path));
}

QByteArray ZipArchiveAccessManager::read(const QString &path)
{
    if (!exists(path))
        throw ArchiveException(UNZ_END_OF_LIST_OF_FILE, QStringLiteral("file not found: ") + path);
    QScopedPointer<QIODevice> device(open(path));
    return device->readAll();
}

QIODevice *ZipArchiveAccessManager::open(const QString &path)
{
    using namespace Constants;
    const QString failure = QStringLiteral("cannot open file: ") + path;
    const auto found = m_index.constFind(indexKey(path));
    if (found == m_index.constEnd())
        throw ArchiveException(UNZ_END_OF_LIST_OF_FILE, failure);
    unz64_file_pos position;
    position.pos_in_zip_directory = ZPOS64_T(found.value().directoryOffset);
    position.num_of_file = ZPOS64_T(found.value().fileNumber);

    int openError = UNZ_OK;
    std::unique_ptr<QuaZip> zip = m_handles->take(&openError);
    if (!zip)
        throw ArchiveException(openError, failure);
    if (const int error = unzGoToFilePos64(zip->getUnzFile(), &position); error != UNZ_OK)
        throw ArchiveException(error, failure);
    QuaZipFileInfo64 info;
    if (!zip->getCurrentFileInfo(&info))
        throw ArchiveException(zip->getZipError(), failure);

    const bool useContentPassword = SettingsManager::instance()
                                        ->get(name(Tag::wrapper), key(Other::encrypted), true)
                                        .toBool();
    const bool encrypted = info.flags & kEncryptedFlag;
    // An encrypted entry cannot be read without the password: garbage must
    // not reach the page.
    if (encrypted && !useContentPassword)
        throw ArchiveException(UNZ_BADPASSWORD, failure);
    if (info.method == 0 || info.method == Z_DEFLATED) {
        std::unique_ptr<PkwareKeys> keys;
        if (encrypted)
            keys = std::make_unique<PkwareKeys>(contentPassword());
        PkwareKeys *headerKeys = keys.get();
        std::unique_ptr<RawZipEntry> entry(new RawZipEntry(std::move(zip), m_handles, info, std::move(keys)));
        QString error;
        if (!entry->raw().open(QIODevice::ReadOnly, nullptr, nullptr, true, nullptr))
            throw ArchiveException(entry->raw().getZipError(), failure);
        if (headerKeys && !passwordMatches(entry->raw(), info, *headerKeys))
            throw ArchiveException(UNZ_BADPASSWORD, failure);
        if (!entry->start(&error))
            throw ArchiveException(UNZ_INTERNALERROR, failure);
        return entry.release();
    }

    // Other methods: minizip's own reader, if it knows them.
    QByteArray password;
    if (encrypted) {
        password = contentPassword();
        PkwareKeys keys(password);
        QuaZipFile raw(zip.get());
        if (!raw.open(QIODevice::ReadOnly, nullptr, nullptr, true, nullptr))
            throw ArchiveException(raw.getZipError(), failure);
        const bool matches = passwordMatches(raw, info, keys);
        raw.close();
        if (!matches)
            throw ArchiveException(UNZ_BADPASSWORD, failure);
    }

    std::unique_ptr<OwningZipFile> file(new OwningZipFile(std::move(zip), m_handles, info));
    if (!file->open(QIODevice::ReadOnly, nullptr, nullptr, false,
                    password.isEmpty() ? nullptr : password.constData()))
        throw ArchiveException(file->getZipError(), failure);
    return file.release();
}
