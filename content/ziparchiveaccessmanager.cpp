#include "content/ziparchiveaccessmanager.h"

#include "app/settingsmanager.h"
#include "bridge/constants.h"
#include "content/archiveexception.h"
#include "content/contentpassword.h"

#include <QScopedPointer>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>
#include <quazip/unzip.h>

#include <zlib.h>

#include <array>
#include <memory>

namespace {

// minizip's unzip neither checks the password nor looks at whether an entry
// is encrypted: given a password it "decrypts" any entry, and a wrong one
// yields garbage. The traditional PKWARE header lets us tell first: its
// twelfth byte, decrypted, repeats the CRC's high byte, or, when the sizes
// follow in a data descriptor, the DOS time's high byte. Writers disagree on
// the latter (minizip and QuaZip keep the CRC), so either is accepted.
constexpr quint16 kEncryptedFlag = 0x1;
constexpr quint16 kDataDescriptorFlag = 0x8;
constexpr int kCryptHeaderSize = 12;
constexpr int UNZ_BADPASSWORD = -106; // not one of minizip's own codes

class PkwareKeys
{
public:
    explicit PkwareKeys(const QByteArray &password)
    {
        for (char c : password)
            update(quint8(c));
    }

    quint8 decrypt(quint8 c)
    {
        const quint32 temp = (m_keys[2] & 0xffff) | 2;
        const quint8 plain = c ^ quint8(((temp * (temp ^ 1)) >> 8) & 0xff);
        update(plain);
        return plain;
    }

private:
    static quint32 crcByte(quint32 crc, quint8 b)
    {
        static const std::array<quint32, 256> table = [] {
            std::array<quint32, 256> t{};
            for (quint32 n = 0; n < 256; ++n) {
                quint32 c = n;
                for (int k = 0; k < 8; ++k)
                    c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
                t[n] = c;
            }
            return t;
        }();
        return table[(crc ^ b) & 0xff] ^ (crc >> 8);
    }

    void update(quint8 c)
    {
        m_keys[0] = crcByte(m_keys[0], c);
        m_keys[1] = (m_keys[1] + (m_keys[0] & 0xff)) * 134775813u + 1;
        m_keys[2] = crcByte(m_keys[2], quint8(m_keys[1] >> 24));
    }

    quint32 m_keys[3] = {0x12345678u, 0x23456789u, 0x34567890u};
};

// True when password opens the encrypted entry that raw (opened raw, not yet
// read) holds.
bool passwordMatches(QuaZipFile &raw, const QuaZipFileInfo64 &info, const QByteArray &password)
{
    const QByteArray header = raw.read(kCryptHeaderSize);
    if (header.size() != kCryptHeaderSize)
        return false;
    PkwareKeys keys(password);
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

// Holds the QuaZip of an OwningZipFile. A base listed before QuaZipFile is
// built before it and destroyed after it: QuaZipFile's destructor closes the
// entry through the QuaZip, so the QuaZip must still be there. (As a member
// it was gone by then, and a close that failed on a CRC error closed once
// more through freed memory.)
struct ZipHandle
{
    explicit ZipHandle(std::unique_ptr<QuaZip> zip) : handle(std::move(zip)) {}
    std::unique_ptr<QuaZip> handle;
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
    OwningZipFile(std::unique_ptr<QuaZip> zip, const QuaZipFileInfo64 &info)
        : ZipHandle(std::move(zip))
        , QuaZipFile(handle.get())
        , m_expectedCrc(quint32(info.crc))
        , m_expectedSize(qint64(info.uncompressedSize))
    {
    }
    ~OwningZipFile() override
    {
        if (isOpen())
            close();
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
        m_crc = quint32(crc32(m_crc, reinterpret_cast<const Bytef *>(data), uInt(n)));
        m_read += n;
        if (m_read > m_expectedSize)
            return fail(QStringLiteral("entry holds more than its %1 bytes").arg(m_expectedSize));
        if (n == 0 && m_read < m_expectedSize)
            return fail(QStringLiteral("entry ends after %1 of %2 bytes").arg(m_read).arg(m_expectedSize));
        if (n > 0 && m_read == m_expectedSize && m_crc != m_expectedCrc)
            return fail(QStringLiteral("CRC mismatch: the entry is damaged"));
        return n;
    }

private:
    qint64 fail(const QString &message)
    {
        m_failed = true;
        setErrorString(message);
        return -1;
    }

    const quint32 m_expectedCrc;
    const qint64 m_expectedSize;
    quint32 m_crc = quint32(crc32(0, nullptr, 0));
    qint64 m_read = 0;
    bool m_failed = false;
};

} // namespace

ZipArchiveAccessManager::ZipArchiveAccessManager(const QString &path, QObject *parent)
    : ArchiveAccessManager(parent), m_path(path)
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

    auto zip = std::make_unique<QuaZip>(m_path);
    // goToFirstFile gives the QuaZip a current file; the position then moves
    // the reader to the entry without walking the directory.
    if (!zip->open(QuaZip::mdUnzip) || !zip->goToFirstFile())
        throw ArchiveException(zip->getZipError(), failure);
    if (const int error = unzGoToFilePos64(zip->getUnzFile(), &position); error != UNZ_OK)
        throw ArchiveException(error, failure);
    QuaZipFileInfo64 info;
    if (!zip->getCurrentFileInfo(&info))
        throw ArchiveException(zip->getZipError(), failure);

    const bool useContentPassword = SettingsManager::instance()
                                        ->get(name(Tag::wrapper), key(Other::encrypted), true)
                                        .toBool();
    QByteArray password;
    if (info.flags & kEncryptedFlag) {
        // An encrypted entry cannot be read without the password: garbage
        // must not reach the page.
        if (!useContentPassword)
            throw ArchiveException(UNZ_BADPASSWORD, failure);
        password = contentPassword();
        QuaZipFile raw(zip.get());
        if (!raw.open(QIODevice::ReadOnly, nullptr, nullptr, true, nullptr))
            throw ArchiveException(raw.getZipError(), failure);
        const bool matches = passwordMatches(raw, info, password);
        raw.close();
        if (!matches)
            throw ArchiveException(UNZ_BADPASSWORD, failure);
    }

    std::unique_ptr<OwningZipFile> file(new OwningZipFile(std::move(zip), info));
    if (!file->open(QIODevice::ReadOnly, nullptr, nullptr, false,
                    password.isEmpty() ? nullptr : password.constData()))
        throw ArchiveException(file->getZipError(), failure);
    return file.release();
}
