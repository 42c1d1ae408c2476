#include "content/ziparchiveaccessmanager.h"

#include "app/settingsmanager.h"
#include "bridge/constants.h"
#include "content/archiveexception.h"
#include "content/contentpassword.h"
#include "content/pkwarekeys.h"

#include <QMutex>
#include <QScopedPointer>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>
#include <quazip/unzip.h>

#include <zlib.h>

#include <cstring>
#include <memory>
#include <vector>

// Archive handles, each opened once and used by one reader at a time: opening
// an entry is then a seek to its record, not an open of the archive file and
// a read of its end record. Shared with the devices, which give their handle
// back when they are done, so it outlives a manager destroyed before them.
class ZipHandlePool
{
public:
    explicit ZipHandlePool(const QString &path) : m_path(path) {}

    // A handle with a current file, or null when the archive cannot be opened
    // (error then holds QuaZip's code).
    std::unique_ptr<QuaZip> take(int *error)
    {
        {
            QMutexLocker lock(&m_mutex);
            if (!m_idle.empty()) {
                std::unique_ptr<QuaZip> zip = std::move(m_idle.back());
                m_idle.pop_back();
                return zip;
            }
        }
        auto zip = std::make_unique<QuaZip>(m_path);
        // goToFirstFile gives the QuaZip a current file; a position then
        // moves the reader to an entry without walking the directory.
        if (!zip->open(QuaZip::mdUnzip) || !zip->goToFirstFile()) {
            *error = zip->getZipError();
            return nullptr;
        }
        return zip;
    }

    void giveBack(std::unique_ptr<QuaZip> zip)
    {
        QMutexLocker lock(&m_mutex);
        // Enough for the readers that run at once; more would only hold
        // file descriptors.
        if (m_idle.size() < kMaxIdle)
            m_idle.push_back(std::move(zip));
    }

private:
    static constexpr size_t kMaxIdle = 8;
    const QString m_path;
    QMutex m_mutex;
    std::vector<std::unique_ptr<QuaZip>> m_idle;
};

namespace {

// Holds the QuaZip of an entry device. A base listed before its QuaZipFile is
// built before it and destroyed after it: QuaZipFile's destructor closes the
// entry through the QuaZip, so the QuaZip must still be there. (As a member
// it was gone by then, and a close that failed on a CRC error closed once
// more through freed memory.) A handle whose entry closed cleanly goes back
// to the pool; one that saw an error is dropped.
struct ZipHandle
{
    ZipHandle(std::unique_ptr<QuaZip> zip, std::shared_ptr<ZipHandlePool> pool)
        : handle(std::move(zip)), pool(std::move(pool))
    {
    }
    ~ZipHandle()
    {
        if (reusable && pool && handle)
            pool->giveBack(std::move(handle));
    }
    std::unique_ptr<QuaZip> handle;
    std::shared_ptr<ZipHandlePool> pool;
    bool reusable = false;
};

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

// A QuaZipFile that owns the QuaZip it reads from (each device has its own
// handle on the archive file) and checks what it delivers: minizip checks the
// CRC only when the entry is closed, too late for a reader that has already
// passed the bytes on. Here the read that would deliver the entry's last
// bytes fails instead when the size or the CRC is wrong, and every later
// read fails too.
class OwningZipFile : private ZipHandle, public QuaZipFile
{
public:
    OwningZipFile(std::unique_ptr<QuaZip> zip, std::shared_ptr<ZipHandlePool> pool,
                  const QuaZipFileInfo64 &info)
        : ZipHandle(std::move(zip), std::move(pool))
        , QuaZipFile(handle.get())
        , m_check(info)
    {
    }
    ~OwningZipFile() override
    {
        if (isOpen()) {
            close();
            reusable = !m_failed && !isOpen() && getZipError() == UNZ_OK;
        }
        // A close that fails (CRC error) leaves the device open; the base
        // destructor would try once more.
        if (isOpen())
            QIODevice::close();
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (m_failed)
            return -1;
        const qint64 n = QuaZipFile::readData(data, maxSize);
        if (n < 0)
            return fail(QStringLiteral("compressed data is damaged (zip error %1)").arg(getZipError()));
        const QString damage = m_check.add(data, n);
        return damage.isEmpty() ? n : fail(damage);
    }

private:
    qint64 fail(const QString &message)
    {
        m_failed = true;
        setErrorString(message);
        return -1;
    }

    DeliveryCheck m_check;
    bool m_failed = false;
};

// An entry read raw and inflated, decrypted and checked here, so that the
// bytes pass through one CRC, not minizip's and ours, and an encrypted entry's
// local header is read once, by the open that checks its password. Checks
// what it delivers with the same DeliveryCheck as OwningZipFile. Stored and
// deflated entries only.
class RawZipEntry : private ZipHandle, public QIODevice
{
public:
    // raw has been opened raw on handle's current entry; keys, when given,
    // have decrypted the entry's twelve-byte header.
    RawZipEntry(std::unique_ptr<QuaZip> zip, std::shared_ptr<ZipHandlePool> pool,
                const QuaZipFileInfo64 &info, std::unique_ptr<PkwareKeys> keys)
        : ZipHandle(std::move(zip), std::move(pool))
        , m_raw(handle.get())
        , m_keys(std::move(keys))
        , m_deflated(info.method == Z_DEFLATED)
        , m_check(info)
    {
    }
    ~RawZipEntry() override
    {
        if (m_deflated && m_inflating)
            inflateEnd(&m_stream);
        if (m_raw.isOpen()) {
            m_raw.close();
            reusable = !m_failed && !m_raw.isOpen() && m_raw.getZipError() == UNZ_OK;
        }
        if (m_raw.isOpen())
            m_raw.QIODevice::close();
    }

    // Opens the raw entry that the handle is at, then this device.
    bool start(QString *error)
    {
        if (!m_raw.isOpen()
            && !m_raw.open(QIODevice::ReadOnly, nullptr, nullptr, true, nullptr)) {
            *error = QString::number(m_raw.getZipError());
            return false;
        }
        if (m_deflated) {
            std::memset(&m_stream, 0, sizeof m_stream);
            if (inflateInit2(&m_stream, -MAX_WBITS) != Z_OK)
                return false;
            m_inflating = true;
        }
        return QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    QuaZipFile &raw() { return m_raw; }

    bool isSequential() const override { return true; }
    qint64 size() const override { return m_check.expectedSize; }
    bool atEnd() const override { return !m_failed && m_check.read == m_check.expectedSize; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (m_failed)
            return -1;
        qint64 n = 0;
        if (!m_deflated) {
            n = m_raw.read(data, qMin(maxSize, m_check.expectedSize - m_check.read + 1));
            if (n < 0)
                return fail(QStringLiteral("compressed data is damaged (zip error %1)").arg(m_raw.getZipError()));
            if (m_keys)
                m_keys->decrypt(data, n);
        } else {
            n = inflateInto(data, maxSize);
            if (n < 0)
                return -1;
        }
        const QString damage = m_check.add(data, n);
        return damage.isEmpty() ? n : fail(damage);
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    qint64 inflateInto(char *data, qint64 maxSize)
    {
        m_stream.next_out = reinterpret_cast<Bytef *>(data);
        m_stream.avail_out = uInt(qMin<qint64>(maxSize, 1 << 30));
        while (m_stream.avail_out > 0 && !m_streamEnded) {
            if (m_stream.avail_in == 0) {
                const qint64 got = m_raw.read(m_input, sizeof m_input);
                if (got < 0)
                    return fail(QStringLiteral("compressed data is damaged (zip error %1)").arg(m_raw.getZipError()));
                if (got == 0)
                    break;
                if (m_keys)
                    m_keys->decrypt(m_input, got);
                m_stream.next_in = reinterpret_cast<Bytef *>(m_input);
                m_stream.avail_in = uInt(got);
            }
            const int result = inflate(&m_stream, Z_NO_FLUSH);
            if (result == Z_STREAM_END)
                m_streamEnded = true;
            else if (result != Z_OK && result != Z_BUF_ERROR)
                return fail(QStringLiteral("compressed data is damaged (zip error %1)").arg(result));
            else if (result == Z_BUF_ERROR && m_stream.avail_in > 0)
                return fail(QStringLiteral("compressed data is damaged (zip error %1)").arg(result));
        }
        return qint64(reinterpret_cast<char *>(m_stream.next_out) - data);
    }

    qint64 fail(const QString &message)
    {
        m_failed = true;
        setErrorString(message);
        return -1;
    }

    QuaZipFile m_raw;
    std::unique_ptr<PkwareKeys> m_keys;
    const bool m_deflated;
    DeliveryCheck m_check;
    z_stream m_stream;
    bool m_inflating = false;
    bool m_streamEnded = false;
    char m_input[64 * 1024];
    bool m_failed = false;
};

} // namespace

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
