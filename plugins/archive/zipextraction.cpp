#include "plugins/archive/zipextraction.h"

#include "plugins/zip/zipentry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>
#include <QSemaphore>
#include <QSet>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QVector>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>
#include <quazip/unzip.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

Q_LOGGING_CATEGORY(lcExtraction, "ZipExtraction")

namespace {

constexpr int kProgressStep = 50;
// Below this much data a second thread costs more than it saves.
constexpr quint64 kParallelBytes = 4 * 1024 * 1024;

struct Entry
{
    QString path; // relative to the target, checked
    unz64_file_pos position;
    bool folder;
    bool skip = false; // a later entry of the same name replaces it
    int mode = 0666;   // asked of the system when the file is made; the umask applies
};

// Staging folders of the extractions that run now: the swap of another
// extraction into the same target must not take them for old sub-folders.
// The swaps themselves run one at a time under the same lock.
QMutex g_stagingMutex;
QSet<QString> g_staging;

// Permissions as Info-ZIP unzip gives them: an entry made on Unix keeps its
// permission bits (without set-id and sticky bits), any other entry is
// read-write for all, or read-only when its DOS attribute says so. Links
// are written as plain files and get the default. Unlike unzip, the umask
// applies to entries from Unix as well: an archive never grants more than
// the user lets new files have.
int fileMode(const QuaZipFileInfo64 &info)
{
    constexpr int kUnixHost = 3;
    const quint32 unixMode = info.externalAttr >> 16;
    const quint32 type = unixMode & 0170000;
    if (info.versionCreated >> 8 == kUnixHost && (unixMode & 0777) != 0
        && (type == 0 || type == 0100000))
        return int(unixMode & 0777);
    return info.externalAttr & 1 ? 0444 : 0666;
}

// A new file with mode less the umask, as the system makes any file.
bool createFile(QFile &file, const QString &path, int mode)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
#else
    Q_UNUSED(mode)
    file.setFileName(path);
    return file.open(QIODevice::WriteOnly | QIODevice::NewOnly);
#endif
}

bool moveItem(const QString &from, const QString &to)
{
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    qCWarning(lcExtraction).noquote()
        << "cannot move" << from << "to" << to << ":" << std::strerror(errno);
    return false;
}

bool lexists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// The sub-folders directly inside target (links to folders among them),
// without the staging folders of running extractions. g_stagingMutex held.
QFileInfoList subfolders(const QString &target)
{
    QFileInfoList out;
    const QFileInfoList all = QDir(target).entryInfoList(
        QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo &folder : all) {
        if (folder.isSymLink() || !g_staging.contains(folder.canonicalFilePath()))
            out.append(folder);
    }
    return out;
}

// A hidden folder inside the target, on its volume, that holds the new tree
// ("new") until every entry is in, and the replaced items ("old") after the
// swap. Removed with all it holds when the extraction ends, whatever the
// outcome; a target that had to be made is removed again unless kept.
class Staging
{
public:
    explicit Staging(const QString &target) : m_target(target)
    {
        QString missing = target;
        while (!QFileInfo::exists(QFileInfo(missing).absolutePath()))
            missing = QFileInfo(missing).absolutePath();
        if (!QFileInfo::exists(target))
            m_firstMade = missing;
    }
    ~Staging()
    {
        if (!m_root.isEmpty() && !m_stranded) {
            if (!QDir(m_root).removeRecursively())
                qCWarning(lcExtraction).noquote() << "cannot remove" << m_root;
            QMutexLocker lock(&g_stagingMutex);
            g_staging.remove(m_canonical);
        }
        // Folders made for this call go if they are still empty.
        for (QString folder = m_target; !m_kept && !m_firstMade.isEmpty();
             folder = QFileInfo(folder).absolutePath()) {
            if (!QDir().rmdir(folder) || folder == m_firstMade)
                break;
        }
    }

    bool make()
    {
        QDir().mkpath(m_target);
        if (!QFileInfo(m_target).isDir())
            return false;
        QTemporaryDir dir(m_target + QStringLiteral("/.unzip-XXXXXX"));
        if (!dir.isValid() || !QDir(dir.path()).mkdir(QStringLiteral("new"))
            || !QDir(dir.path()).mkdir(QStringLiteral("old")))
            return false;
        dir.setAutoRemove(false);
        m_root = dir.path();
        m_canonical = QFileInfo(m_root).canonicalFilePath();
        QMutexLocker lock(&g_stagingMutex);
        g_staging.insert(m_canonical);
        return true;
    }

    QString newTree() const { return m_root + QStringLiteral("/new"); }

    // The target's sub-folders go into "old", then the new tree's items
    // into the target; a file the new tree replaces goes into "old" first,
    // so that every step can be undone. A new folder where a file lies
    // fails. On failure the moves made are undone in reverse order.
    bool swapIn()
    {
        QMutexLocker lock(&g_stagingMutex);
        QVector<QPair<QString, QString>> moves;
        const auto step = [&moves](const QString &from, const QString &to) {
            if (!moveItem(from, to))
                return false;
            moves.append({from, to});
            return true;
        };
        const QString old = m_root + QStringLiteral("/old/");
        bool ok = true;
        for (const QFileInfo &folder : subfolders(m_target)) {
            if (!(ok = step(folder.absoluteFilePath(), old + folder.fileName())))
                break;
        }
        const QFileInfoList items = QDir(newTree()).entryInfoList(
            QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        for (int i = 0; ok && i < items.size(); ++i) {
            const QString name = items.at(i).fileName();
            const QString to = m_target + QLatin1Char('/') + name;
            if (lexists(to)) {
                if (items.at(i).isDir()) {
                    qCWarning(lcExtraction).noquote() << "a file is in the way of folder" << to;
                    ok = false;
                    break;
                }
                ok = step(to, old + name);
            }
            ok = ok && step(items.at(i).absoluteFilePath(), to);
        }
        if (ok) {
            m_kept = true;
            return true;
        }
        for (int i = moves.size() - 1; i >= 0; --i) {
            if (!moveItem(moves.at(i).second, moves.at(i).first)) {
                qCCritical(lcExtraction).noquote()
                    << "could not put back" << moves.at(i).first << "; it stays in" << m_root;
                m_stranded = true;
            }
        }
        return false;
    }

private:
    const QString m_target;
    QString m_firstMade; // the outermost folder made for the target, if any
    QString m_root;
    QString m_canonical;
    bool m_kept = false;
    bool m_stranded = false; // the root holds what could not be put back
};

// What the threads of one extraction share.
class Job
{
public:
    Job(ZipExtraction *owner, const std::atomic<bool> &aborted, QString zipPath,
        QString target, QVector<Entry> entries)
        : owner(owner), aborted(aborted), zipPath(std::move(zipPath)),
          target(std::move(target)), entries(std::move(entries))
    {
    }

    // Runs on zip (open, positioned on its first entry) until the entries,
    // an abort or a failure end it.
    void work(QuaZip &zip);

    bool stopped() const { return aborted.load() || failure.load() != ZipExtraction::ExtractionOk; }
    int doneCount()
    {
        QMutexLocker lock(&m_progressMutex);
        return m_done;
    }

    ZipExtraction *const owner;
    const std::atomic<bool> &aborted;
    const QString zipPath;
    const QString target;
    const QVector<Entry> entries;
    std::atomic<int> next{0};
    std::atomic<int> failure{ZipExtraction::ExtractionOk};

private:
    ZipExtraction::ExtractionError extractOne(QuaZip &zip, const Entry &entry);
    bool makeFolder(const QString &path);
    void entryDone();

    QMutex m_progressMutex;
    int m_done = 0;
    QMutex m_folderMutex;
    QSet<QString> m_folders;
};

void Job::work(QuaZip &zip)
{
    while (!stopped()) {
        const int i = next.fetch_add(1);
        if (i >= entries.size())
            return;
        ZipExtraction::ExtractionError result = ZipExtraction::ExtractionWriteFailed;
        // Nothing may leave a thread of the pool; the other thread still
        // works on this job.
        try {
            result = extractOne(zip, entries.at(i));
        } catch (const std::exception &e) {
            qCWarning(lcExtraction).noquote() << "failed on" << entries.at(i).path << ":" << e.what();
        } catch (...) {
            qCWarning(lcExtraction).noquote() << "failed on" << entries.at(i).path;
        }
        if (result != ZipExtraction::ExtractionOk) {
            int expected = ZipExtraction::ExtractionOk;
            failure.compare_exchange_strong(expected, result);
            return;
        }
        entryDone();
    }
}

// Counted and reported under one lock, so reports leave in order whichever
// thread finished the entry.
void Job::entryDone()
{
    QMutexLocker lock(&m_progressMutex);
    const int i = m_done++;
    if (i % kProgressStep == 0)
        emit owner->progress(entries.size(), i + 1);
}

bool Job::makeFolder(const QString &path)
{
    {
        QMutexLocker lock(&m_folderMutex);
        if (m_folders.contains(path))
            return true;
    }
    if (!QDir().mkpath(path)) {
        qCWarning(lcExtraction).noquote() << "cannot make folder" << path;
        return false;
    }
    QMutexLocker lock(&m_folderMutex);
    m_folders.insert(path);
    return true;
}

// Written straight into the staging tree, which nobody sees before the
// swap: a cut or damaged file goes with it.
ZipExtraction::ExtractionError Job::extractOne(QuaZip &zip, const Entry &entry)
{
    const QString out = target + QLatin1Char('/') + entry.path;
    if (entry.folder) {
        if (!makeFolder(QDir::cleanPath(out)))
            return ZipExtraction::ExtractionWriteFailed;
        return ZipExtraction::ExtractionOk;
    }
    if (!makeFolder(QFileInfo(out).absolutePath()))
        return ZipExtraction::ExtractionWriteFailed;
    if (entry.skip)
        return ZipExtraction::ExtractionOk;

    if (unzGoToFilePos64(zip.getUnzFile(), &entry.position) != UNZ_OK)
        return ZipExtraction::ZipOpenFailed;
    QuaZipFile in(&zip);
    if (!in.open(QIODevice::ReadOnly))
        return ZipExtraction::ZipOpenFailed;
    QFile file;
    if (!createFile(file, out, entry.mode)) {
        qCWarning(lcExtraction).noquote() << "cannot create" << out << ":" << std::strerror(errno);
        in.close();
        return ZipExtraction::ExtractionWriteFailed;
    }
    bool readFailed = false;
    const bool copied = ZipEntry::copy(in, file, &readFailed, &aborted);
    int zipError = in.getZipError();
    in.close();
    // The CRC is compared on close.
    if (zipError == UNZ_OK)
        zipError = in.getZipError();
    const bool written = file.flush() && file.error() == QFileDevice::NoError;
    file.close();
    if (!copied && aborted.load())
        return ZipExtraction::ExtractionAborted;
    if (readFailed || zipError != UNZ_OK) {
        qCWarning(lcExtraction).noquote() << "damaged entry" << entry.path << "code" << zipError;
        return ZipExtraction::ZipOpenFailed;
    }
    if (!copied || !written) {
        qCWarning(lcExtraction).noquote() << "cannot write" << out << ":" << file.errorString();
        return ZipExtraction::ExtractionWriteFailed;
    }
    return ZipExtraction::ExtractionOk;
}

void openZip(QuaZip &zip)
{
    // Names are UTF-8 on the producers the shell meets; entries with the
    // UTF-8 flag are decoded as such whatever is set here.
    zip.setFileNameCodec("UTF-8");
    zip.open(QuaZip::mdUnzip);
}

} // namespace

ZipExtraction::ZipExtraction(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<ZipExtraction::ExtractionError>("ZipExtraction::ExtractionError");
}

void ZipExtraction::abort()
{
    m_aborted.store(true);
}

ZipExtraction::ExtractionError ZipExtraction::extract(const QString &zipPath,
                                                      const QString &target)
{
    ExtractionError code = ExtractionAborted;
    int total = 0;
    if (!m_aborted.load()) {
        // Whatever goes wrong, the call ends with an answer of its own; the
        // staging folder has gone by then.
        try {
            code = extractStaged(zipPath, target, &total);
        } catch (const std::exception &e) {
            qCWarning(lcExtraction).noquote() << "extraction of" << zipPath << "failed:" << e.what();
            code = ExtractionWriteFailed;
        } catch (...) {
            qCWarning(lcExtraction).noquote() << "extraction of" << zipPath << "failed";
            code = ExtractionWriteFailed;
        }
    }
    if (code == ExtractionOk)
        emit progress(total, total);
    else if (code == ExtractionAborted)
        emit cancel();
    else
        emit error(code);
    return code;
}

ZipExtraction::ExtractionError ZipExtraction::extractStaged(const QString &zipPath,
                                                            const QString &targetPath, int *total)
{
    if (!QFileInfo(zipPath).isFile())
        return ZipFileMissing;

    QuaZip zip(zipPath);
    openZip(zip);
    const bool empty = !zip.isOpen() && ZipEntry::isEmptyArchive(zipPath);
    if (!zip.isOpen() && !empty)
        return ZipOpenFailed;

    // Every name is checked before the target is touched: a hostile entry
    // anywhere in the archive leaves the target as it was.
    QVector<Entry> entries;
    QHash<QString, int> files;
    quint64 bytes = 0;
    for (bool more = !empty && zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        QuaZipFileInfo64 info;
        Entry entry;
        if (!zip.getCurrentFileInfo(&info)
            || unzGetFilePos64(zip.getUnzFile(), &entry.position) != UNZ_OK)
            return ZipOpenFailed;
        // A NUL would cut the name where the system reads it.
        const std::optional<QString> path = info.name.contains(QChar(0))
            ? std::nullopt : ZipEntry::relativePath(info.name);
        if (!path) {
            qCWarning(lcExtraction).noquote()
                << "refused entry" << QString(info.name).replace(QChar(0), QStringLiteral("\\0"))
                << "in" << zipPath;
            return ExtractionWriteFailed;
        }
        entry.folder = path->isEmpty() || path->endsWith(QLatin1Char('/'));
        entry.path = *path;
        entry.mode = fileMode(info);
        // Two threads must not write one file; the last of the same name wins.
        if (!entry.folder) {
            const auto earlier = files.constFind(entry.path);
            if (earlier != files.constEnd())
                entries[*earlier].skip = true;
            files.insert(entry.path, entries.size());
        }
        entries.append(entry);
        bytes += info.uncompressedSize;
    }
    if (!empty && zip.getZipError() != UNZ_OK)
        return ZipOpenFailed;

    // The swap removes the target's sub-folders: an archive inside one of
    // them would go with them, so nothing is done.
    const QString target = QFileInfo(targetPath).absoluteFilePath();
    {
        const QString zipCanonical = QFileInfo(zipPath).canonicalFilePath();
        QMutexLocker lock(&g_stagingMutex);
        for (const QFileInfo &folder : subfolders(target)) {
            if (!folder.isSymLink()
                && zipCanonical.startsWith(folder.canonicalFilePath() + QLatin1Char('/'))) {
                qCWarning(lcExtraction).noquote()
                    << "refused:" << zipPath << "lies in" << folder.filePath()
                    << ", which extracting into" << target << "would replace";
                return ExtractionWriteFailed;
            }
        }
    }
    Staging staging(target);
    if (!staging.make()) {
        qCWarning(lcExtraction).noquote() << "cannot stage into" << target;
        return ExtractionWriteFailed;
    }

    *total = entries.size();
    emit progress(*total, 0);
    Job job(this, m_aborted, zipPath, staging.newTree(), std::move(entries));
    QSemaphore helperDone;
    bool helper = false;
    if (m_maxThreads > 1 && *total > 1 && bytes >= kParallelBytes) {
        // Only a thread that is free now: waiting for one could wait on
        // ourselves when the pool is full.
        helper = QThreadPool::globalInstance()->tryStart([&job, &helperDone] {
            try {
                QuaZip own(job.zipPath);
                openZip(own);
                if (own.isOpen() && own.goToFirstFile())
                    job.work(own);
            } catch (...) {
                int expected = ExtractionOk;
                job.failure.compare_exchange_strong(expected, ExtractionWriteFailed);
            }
            helperDone.release();
        });
    }
    if (*total > 0 && zip.goToFirstFile())
        job.work(zip);
    else if (*total > 0)
        job.failure.store(ZipOpenFailed);
    if (helper)
        helperDone.acquire();
    zip.close();

    if (job.failure.load() != ExtractionOk)
        return ExtractionError(job.failure.load());
    if (job.doneCount() < *total)
        return ExtractionAborted;
    if (!staging.swapIn())
        return ExtractionWriteFailed;
    return ExtractionOk;
}
