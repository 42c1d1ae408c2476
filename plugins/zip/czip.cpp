#include "plugins/zip/czip.h"

#include "bridge/constants.h"
#include "bridge/task.h"
#include "plugins/zip/czipresponses.h"
#include "plugins/zip/zipentry.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTextCodec>
#include <QVariantList>

#include <kelcab/stagedfile.h>
#include <quazip/JlCompress.h>

#include <cstdio>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>
#include <quazip/quazipnewinfo.h>

#include <zlib.h>

using Constants::key;
namespace JSInvoke = Constants::JSInvoke;
namespace Other = Constants::Other;
namespace Code = Constants::Code;

namespace {

Q_LOGGING_CATEGORY(lcZip, "Zip")

// Extracted files: everything for the owner, read and execute for the rest.
// Never writable by group or others.
constexpr QFile::Permissions kExtractedPermissions =
    QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser
    | QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup
    | QFile::ReadOther | QFile::ExeOther;

constexpr int kMemLevel = 8; // zlib's default
constexpr int kUtf8Mib = 106;

QVariantMap codeOnly(int code)
{
    return {{key(Other::code), code}};
}

bool sameWord(const QString &text, Other::_Other word)
{
    return text.compare(key(word), Qt::CaseInsensitive) == 0;
}

// Names are UTF-8 on every producer this shell meets (Info-ZIP and Python on
// Linux, the UTF-8 flag elsewhere); the locale's codec would garble them.
void useUtf8Names(QuaZip &zip)
{
    zip.setFileNameCodec("UTF-8");
}

// False when the archive cannot be read. An archive without entries, which
// QuaZip refuses, is read as one where no name is found.
bool openForReading(QuaZip &zip)
{
    useUtf8Names(zip);
    return zip.open(QuaZip::mdUnzip) || ZipEntry::isEmptyArchive(zip.getZipName());
}

// Selects entry name; on failure returns the code for the item.
int selectEntry(QuaZip &zip, const QString &name)
{
    if (!zip.isOpen())
        return UNZ_END_OF_LIST_OF_FILE;
    if (!name.isEmpty() && zip.setCurrentFile(name))
        return UNZ_OK;
    // QuaZip reports a name that is not there as success (UNZ_OK).
    const int error = zip.getZipError();
    return error != UNZ_OK ? error : UNZ_END_OF_LIST_OF_FILE;
}

// Takes at most cap bytes: a write past that stores nothing and fails, so
// an entry too large to deliver is never held whole.
class CappedBuffer : public QBuffer
{
public:
    CappedBuffer(QByteArray *data, qint64 cap) : QBuffer(data), m_cap(cap) {}

protected:
    qint64 writeData(const char *data, qint64 length) override
    {
        return size() + length > m_cap ? -1 : QBuffer::writeData(data, length);
    }

private:
    qint64 m_cap;
};

// Text (UTF-8 without NUL) goes as it is; any other content as Base64 with
// "base64": true, so no byte is lost or altered on the way to the page.
QVariantMap readItem(QuaZip &zip, const QString &name)
{
    QByteArray data;
    int code = selectEntry(zip, name);
    if (code == UNZ_OK) {
        QuaZipFile file(&zip);
        if (file.open(QIODevice::ReadOnly)) {
            // Grows with what the entry really yields, not with the size
            // its header claims; text takes two bytes a character in an answer.
            CappedBuffer buffer(&data, Answer::kMaxBytes / 2);
            buffer.open(QIODevice::WriteOnly);
            bool readFailed = false;
            const bool whole = ZipEntry::copy(file, buffer, &readFailed);
            code = file.getZipError();
            file.close();
            // The CRC is checked on close: a damaged entry is not a success.
            if (code == UNZ_OK)
                code = file.getZipError();
            if (code == UNZ_OK && !whole)
                code = readFailed ? UNZ_ERRNO : int(Code::AnswerTooLarge);
        } else {
            code = file.getZipError();
        }
    }
    QVariantMap item{{key(Other::code), code}, {key(Other::data), QStringLiteral("")}};
    if (code != UNZ_OK || data.isEmpty())
        return item;
    // A leading byte order mark is part of the entry: kept, as U+FEFF.
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    const QString text = QTextCodec::codecForMib(kUtf8Mib)->toUnicode(data.constData(), data.size(), &state);
    if (!data.contains('\0') && text.toUtf8() == data) {
        item.insert(key(Other::data), text);
    } else {
        item.insert(key(Other::data), QString::fromLatin1(data.toBase64()));
        item.insert(key(Other::base64), true);
    }
    if (Answer::size(item) > Answer::kMaxBytes)
        return {{key(Other::code), Code::AnswerTooLarge}, {key(Other::data), QStringLiteral("")}};
    return item;
}

int addItem(QuaZip &zip, const QVariantMap &item)
{
    const QString type = item.value(key(Other::type), key(Other::raw)).toString();
    const QString entry = item.value(key(Other::path)).toString();
    const bool valid = (sameWord(type, Other::raw) || sameWord(type, Other::path))
        && item.contains(key(Other::data)) && !entry.isEmpty();
    // Validation ignores letter case, the content switch does not: "RAW"
    // passes the first and is refused here.
    if (!valid || (type != key(Other::raw) && type != key(Other::path)))
        return Code::ZipInvalidRequest;

    const QVariant data = item.value(key(Other::data));
    QByteArray raw;
    QFile source;
    QIODevice *content;
    QBuffer rawBuffer(&raw);
    if (type == key(Other::raw)) {
        raw = data.userType() == QMetaType::QByteArray ? data.toByteArray()
                                                       : data.toString().toUtf8();
        rawBuffer.open(QIODevice::ReadOnly);
        content = &rawBuffer;
    } else {
        source.setFileName(data.toString());
        if (!source.open(QIODevice::ReadOnly))
            return Code::ZipSourceUnreadable;
        content = &source;
    }

    QuaZipFile file(&zip);
    if (!file.open(QIODevice::WriteOnly, QuaZipNewInfo(entry), nullptr, 0, Z_DEFLATED,
                   Z_DEFAULT_COMPRESSION, false, -MAX_WBITS, kMemLevel, Z_DEFAULT_STRATEGY))
        return file.getZipError();
    bool readFailed = false;
    const bool copied = ZipEntry::copy(*content, file, &readFailed);
    int code = file.getZipError();
    file.close();
    if (code == UNZ_OK)
        code = file.getZipError();
    // A local file that fails halfway is unreadable, not a zip failure.
    if (code == UNZ_OK && !copied)
        code = readFailed ? int(Code::ZipSourceUnreadable) : UNZ_ERRNO;
    return code;
}

QVariantMap extractItem(QuaZip &zip, const QVariantMap &item, const std::atomic<bool> &stop)
{
    const QString source = item.value(key(Other::source)).toString();
    const QString target = item.value(key(Other::target)).toString();
    // A name that would climb out of its folder is refused, since pages
    // build targets from entry names.
    if (source.isEmpty() || target.isEmpty() || !ZipEntry::relativePath(source))
        return codeOnly(Code::ZipInvalidRequest);
    int code = selectEntry(zip, source);
    if (code != UNZ_OK)
        return codeOnly(code);

    QuaZipFile entry(&zip);
    if (!entry.open(QIODevice::ReadOnly))
        return codeOnly(entry.getZipError());

    const QFileInfo info(target);
    const QString path = info.absoluteFilePath();
    // Staged beside the target: a damaged entry or a full disk leaves an
    // existing target as it was.
    if (!QDir().mkpath(info.absolutePath())) {
        qCWarning(lcZip).noquote() << "cannot create the folder of" << path;
        return codeOnly(Code::ZipTargetUnwritable);
    }
    kelcab::StagedFile out(path);
    if (!out.open()) {
        qCWarning(lcZip).noquote() << out.errorString();
        return codeOnly(Code::ZipTargetUnwritable);
    }
    bool readFailed = false;
    const bool copied = ZipEntry::copy(entry, out, &readFailed, &stop);
    code = entry.getZipError();
    entry.close();
    if (code == UNZ_OK)
        code = entry.getZipError();
    if (code == UNZ_OK && !copied)
        code = readFailed ? UNZ_ERRNO : int(Code::ZipTargetUnwritable);
    if (code != UNZ_OK) {
        qCWarning(lcZip).noquote() << "entry" << source << "not extracted to" << path << ": code" << code
                                   << (code == Code::ZipTargetUnwritable ? out.errorString() : QString());
        return codeOnly(code);
    }
    out.setPermissions(kExtractedPermissions);
    if (!out.commit()) {
        qCWarning(lcZip).noquote() << out.errorString();
        return codeOnly(Code::ZipTargetUnwritable);
    }
    return {{key(Other::code), 0}, {key(Other::path), path}};
}

// JlCompress::compressDir's walk (sub-folders first, then files, hidden ones
// left out), minus the archive being replaced: an archive inside the folder
// it packs never holds a copy of itself.
bool addFolder(QuaZip &zip, const QDir &root, const QString &dir, const QString &skip)
{
    const QDir folder(dir);
    if (dir != root.absolutePath()) {
        QuaZipFile entry(&zip);
        if (!entry.open(QIODevice::WriteOnly, QuaZipNewInfo(root.relativeFilePath(dir) + QLatin1Char('/'), dir)))
            return false;
        entry.close();
        if (entry.getZipError() != UNZ_OK)
            return false;
    }
    for (const QFileInfo &sub : folder.entryInfoList(QDir::AllDirs | QDir::NoDotAndDotDot)) {
        if (sub.isDir() && !addFolder(zip, root, sub.absoluteFilePath(), skip))
            return false;
    }
    for (const QFileInfo &file : folder.entryInfoList(QDir::Files)) {
        if (!file.isFile() || file.absoluteFilePath() == skip)
            continue;
        if (!JlCompress::compressFile(&zip, file.absoluteFilePath(), root.relativeFilePath(file.absoluteFilePath())))
            return false;
    }
    return true;
}

// Staged beside the archive: a failure leaves an existing archive whole.
bool compressDir(const QString &archivePath, const QString &dirPath)
{
    const QFileInfo dir(dirPath);
    const QString path = QFileInfo(archivePath).absoluteFilePath();
    if (!dir.isDir()) {
        qCWarning(lcZip).noquote() << "cannot pack" << dirPath << "into" << path << ": not a folder";
        return false;
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        qCWarning(lcZip).noquote() << "cannot create the folder of" << path;
        return false;
    }
    kelcab::StagedFile out(path);
    if (!out.open()) {
        qCWarning(lcZip).noquote() << out.errorString();
        return false;
    }
    QuaZip zip(&out);
    bool ok = zip.open(QuaZip::mdCreate);
    if (ok) {
        ok = addFolder(zip, QDir(dir.absoluteFilePath()), dir.absoluteFilePath(), path);
        zip.close();
        ok = ok && zip.getZipError() == UNZ_OK;
    }
    if (!ok || !out.commit()) {
        qCWarning(lcZip).noquote() << "cannot pack" << dirPath << "into" << path << ":"
                                   << (ok || out.error() != QFileDevice::NoError
                                           ? out.errorString() : QStringLiteral("zip error %1").arg(zip.getZipError()));
        return false;
    }
    return true;
}

template <typename Fn>
QVariantMap perItem(const QVariantMap &items, Fn fn)
{
    QVariantMap result;
    for (auto it = items.cbegin(); it != items.cend(); ++it)
        result.insert(it.key(), fn(it.value()));
    return result;
}

ResponsePtr rejected(JSInvoke::_JSInvoke callback, int code)
{
    return ResponsePtr(new CZipRejectedResponse(callback, code));
}

ResponsePtr resolved(JSInvoke::_JSInvoke callback, const QVariantMap &result)
{
    return ResponsePtr(new CZipResolvedResponse(callback, result));
}

} // namespace

QSharedPointer<Task::ITask> CZip::addFiles(const QString &archivePath, const QString &mode,
                                           const QVariantMap &files)
{
    return Task::onPool([archivePath, mode, files]() -> ResponsePtr {
        const bool add = sameWord(mode, Other::add);
        if (!add && !sameWord(mode, Other::create))
            return rejected(JSInvoke::zipAddFilesFail, Code::ZipInvalidRequest);
        QuaZip zip(archivePath);
        useUtf8Names(zip);
        // Adding to an archive without entries is creating it anew: QuaZip
        // cannot open it for adding.
        const bool append = add && !ZipEntry::isEmptyArchive(archivePath);
        if (!zip.open(append ? QuaZip::mdAdd : QuaZip::mdCreate))
            return rejected(JSInvoke::zipAddFilesFail, zip.getZipError());
        const QVariantMap result =
            perItem(files, [&zip](const QVariant &item) { return codeOnly(addItem(zip, item.toMap())); });
        zip.close();
        if (zip.getZipError() != UNZ_OK)
            return rejected(JSInvoke::zipAddFilesFail, zip.getZipError());
        return resolved(JSInvoke::zipAddFilesDone, result);
    });
}

QSharedPointer<Task::ITask> CZip::readFiles(const QString &archivePath,
                                            const QVariantMap &filesPaths)
{
    return Task::onPool([archivePath, filesPaths]() -> ResponsePtr {
        QuaZip zip(archivePath);
        if (!openForReading(zip))
            return rejected(JSInvoke::zipReadFilesFail, zip.getZipError());
        return resolved(JSInvoke::zipReadFilesDone, perItem(filesPaths, [&zip](const QVariant &name) {
                            return readItem(zip, name.toString());
                        }));
    });
}

QSharedPointer<Task::ITask> CZip::compressDirectory(const QString &archivePath,
                                                    const QString &dirPath)
{
    return Task::onPool([archivePath, dirPath]() -> ResponsePtr {
        return ResponsePtr(new CZipCompressDirectoryResponse(compressDir(archivePath, dirPath)));
    });
}

QSharedPointer<Task::ITask> CZip::listContents(const QString &archivePath)
{
    return Task::onPool([archivePath]() -> ResponsePtr {
        QuaZip zip(archivePath);
        if (!openForReading(zip))
            return rejected(JSInvoke::zipListContentsFail, zip.getZipError());
        QVariantList entries;
        for (bool more = zip.isOpen() && zip.goToFirstFile(); more; more = zip.goToNextFile()) {
            QuaZipFileInfo64 info;
            if (!zip.getCurrentFileInfo(&info))
                break;
            // 64-bit sizes: entries over 4 GiB are reported as they are.
            entries.append(QVariantMap{
                {key(Other::crc), info.crc},
                {key(Other::zipPath), info.name},
                {key(Other::isDir), info.name.endsWith(QLatin1Char('/'))},
                {key(Other::comment), info.comment},
                {key(Other::compressedSize), info.compressedSize},
                {key(Other::uncompressedSize), info.uncompressedSize},
            });
        }
        const int error = zip.isOpen() ? zip.getZipError() : UNZ_OK;
        if (error != UNZ_OK)
            return rejected(JSInvoke::zipListContentsFail, error);
        return ResponsePtr(new CZipListContentsResponse(entries));
    });
}

QSharedPointer<Task::ITask> CZip::extractFiles(const QString &archivePath,
                                               const QVariantMap &paths)
{
    return Task::onPool([archivePath, paths, stop = m_stopping]() -> ResponsePtr {
        QuaZip zip(archivePath);
        if (!openForReading(zip))
            return rejected(JSInvoke::zipExtractFilesFail, zip.getZipError());
        return resolved(JSInvoke::zipExtractFilesDone, perItem(paths, [&zip, &stop](const QVariant &item) {
                            return extractItem(zip, item.toMap(), *stop);
                        }));
    });
}
