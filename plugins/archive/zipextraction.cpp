#include "plugins/archive/zipextraction.h"

#include "plugins/zip/zipentry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>
#include <QSemaphore>
#include <QSet>
#include <QTemporaryFile>
#include <QThreadPool>
#include <QVector>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>
#include <quazip/unzip.h>

#include <cstdio>

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
        const ZipExtraction::ExtractionError result = extractOne(zip, entries.at(i));
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
    if (!QDir().mkpath(path))
        return false;
    QMutexLocker lock(&m_folderMutex);
    m_folders.insert(path);
    return true;
}

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
    // A link left in the target (files directly in it survive a new run)
    // must not carry the write somewhere else: the entry replaces it.
    if (QFileInfo(out).isSymLink())
        QFile::remove(out);

    if (unzGoToFilePos64(zip.getUnzFile(), &entry.position) != UNZ_OK)
        return ZipExtraction::ZipOpenFailed;
    QuaZipFile in(&zip);
    if (!in.open(QIODevice::ReadOnly))
        return ZipExtraction::ZipOpenFailed;
    // Written under a temporary name beside it and renamed once the CRC has
    // been checked (on close): a damaged or cut entry never shows under its
    // name, and nothing waits for the disk per file.
    QTemporaryFile file(QFileInfo(out).absolutePath() + QStringLiteral("/.unzipXXXXXX"));
    if (!file.open()) {
        in.close();
        return ZipExtraction::ExtractionWriteFailed;
    }
    bool readFailed = false;
    const bool copied = ZipEntry::copy(in, file, &readFailed);
    int zipError = in.getZipError();
    in.close();
    // The CRC is compared on close.
    if (zipError == UNZ_OK)
        zipError = in.getZipError();
    bool written = file.flush() && file.error() == QFileDevice::NoError;
    file.close();
    if (copied && zipError == UNZ_OK && written) {
        written = file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser
                                      | QFileDevice::WriteUser | QFileDevice::ReadGroup | QFileDevice::ReadOther)
            && ::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(out).constData()) == 0;
        if (written) {
            file.setAutoRemove(false);
            return ZipExtraction::ExtractionOk;
        }
    }
    // A cut or damaged file must not pass for the entry (the temporary
    // file goes with its object).
    if (readFailed || zipError != UNZ_OK) {
        qCWarning(lcExtraction).noquote() << "damaged entry" << entry.path << "code" << zipError;
        return ZipExtraction::ZipOpenFailed;
    }
    return ZipExtraction::ExtractionWriteFailed;
}

// Sub-folders directly inside target go; a link among them goes as a link,
// never with what it points to.
void clearSubfolders(const QString &target)
{
    const QFileInfoList folders = QDir(target).entryInfoList(
        QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo &folder : folders) {
        if (folder.isSymLink())
            QFile::remove(folder.filePath());
        else
            QDir(folder.filePath()).removeRecursively();
    }
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

ZipExtraction::ExtractionError ZipExtraction::fail(ExtractionError code)
{
    emit error(code);
    return code;
}

ZipExtraction::ExtractionError ZipExtraction::extract(const QString &zipPath,
                                                      const QString &target)
{
    if (m_aborted.load()) {
        emit cancel();
        return ExtractionAborted;
    }
    QDir().mkpath(target);
    if (!QFileInfo(zipPath).isFile())
        return fail(ZipFileMissing);

    QuaZip zip(zipPath);
    openZip(zip);
    const bool empty = !zip.isOpen() && ZipEntry::isEmptyArchive(zipPath);
    if (!zip.isOpen() && !empty)
        return fail(ZipOpenFailed);

    // Every name is checked before the target is touched: a hostile entry
    // anywhere in the archive leaves the target as it was.
    QVector<Entry> entries;
    quint64 bytes = 0;
    for (bool more = !empty && zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        QuaZipFileInfo64 info;
        Entry entry;
        if (!zip.getCurrentFileInfo(&info)
            || unzGetFilePos64(zip.getUnzFile(), &entry.position) != UNZ_OK)
            return fail(ZipOpenFailed);
        const std::optional<QString> path = ZipEntry::relativePath(info.name);
        if (!path) {
            qCWarning(lcExtraction).noquote() << "refused entry" << info.name << "in" << zipPath;
            return fail(ExtractionWriteFailed);
        }
        entry.folder = path->isEmpty() || path->endsWith(QLatin1Char('/'));
        entry.path = *path;
        entries.append(entry);
        bytes += info.uncompressedSize;
    }
    if (!empty && zip.getZipError() != UNZ_OK)
        return fail(ZipOpenFailed);
    if (!QFileInfo(target).isDir())
        return fail(ExtractionWriteFailed);

    clearSubfolders(target);
    const int total = entries.size();
    emit progress(total, 0);
    if (total == 0) {
        emit progress(total, total);
        return ExtractionOk;
    }

    Job job(this, m_aborted, zipPath, QFileInfo(target).absoluteFilePath(), std::move(entries));
    QSemaphore helperDone;
    bool helper = false;
    if (m_maxThreads > 1 && total > 1 && bytes >= kParallelBytes) {
        // Only a thread that is free now: waiting for one could wait on
        // ourselves when the pool is full.
        helper = QThreadPool::globalInstance()->tryStart([&job, &helperDone] {
            QuaZip own(job.zipPath);
            openZip(own);
            if (own.isOpen() && own.goToFirstFile())
                job.work(own);
            helperDone.release();
        });
    }
    if (zip.goToFirstFile())
        job.work(zip);
    else
        job.failure.store(ZipOpenFailed);
    if (helper)
        helperDone.acquire();
    zip.close();

    if (job.failure.load() != ExtractionOk)
        return fail(ExtractionError(job.failure.load()));
    if (job.doneCount() < total) {
        emit cancel();
        return ExtractionAborted;
    }
    emit progress(total, total);
    return ExtractionOk;
}
