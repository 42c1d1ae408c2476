#include "content/copycache.h"

#include "app/pathsmanager.h"
#include "bridge/constants.h"
#include "content/archiveaccessmanager.h"
#include "content/archiveexception.h"
#include "content/archivepath.h"
#include "content/autoremovefile.h"
#include "content/chunkedcopy.h"

#include <kelcab/stagedfile.h>

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QScopedPointer>

#include <exception>

using namespace Constants::Code;

Q_LOGGING_CATEGORY(lcFileSystem, "FileSystem")

using Constants::key;
namespace Other = Constants::Other;

namespace {

bool sameWord(const QString &a, Other::_Other word)
{
    return a.compare(key(word), Qt::CaseInsensitive) == 0;
}

void describeFile(const QFileInfo &info, QVariantMap &output)
{
    output.insert(key(Other::filepath), info.absoluteFilePath());
    output.insert(key(Other::filename), info.fileName());
    output.insert(key(Other::filedir), info.absolutePath());
    output.insert(key(Other::size), info.size());
}

} // namespace

// Copies of one cache key run one after another; other keys are not held up,
// and the cache mutex is never held during a copy.
class CopyCache::KeyClaim
{
public:
    KeyClaim(CopyCache &state, const QString &key) : m_state(state), m_key(key)
    {
        QMutexLocker lock(&m_state.m_mutex);
        while (m_state.m_busyKeys.contains(m_key))
            m_state.m_released.wait(&m_state.m_mutex);
        m_state.m_busyKeys.insert(m_key);
    }
    ~KeyClaim()
    {
        QMutexLocker lock(&m_state.m_mutex);
        m_state.m_busyKeys.remove(m_key);
        m_state.m_released.wakeAll();
    }
    KeyClaim(const KeyClaim &) = delete;
    KeyClaim &operator=(const KeyClaim &) = delete;

private:
    CopyCache &m_state;
    const QString m_key;
};

QIODevice *CopyCache::openSource(const QString &source, Source from)
{
    const QString access = PathsManager::instance()->get(Constants::PathManager::wrapperAccessPath);
    if (from == Source::Archive || (!access.isEmpty() && source.startsWith(access))) {
        const QString entry = ArchivePath::normalise(source.mid(source.indexOf(QLatin1Char('/')) + 1));
        if (entry.isEmpty() || !archive)
            return nullptr;
        try {
            return archive->exists(entry) ? archive->open(entry) : nullptr;
        } catch (const ArchiveException &e) {
            qCWarning(lcFileSystem).noquote() << "cannot open archive entry" << entry << "-"
                                              << e.message << "code" << e.code;
        } catch (const std::exception &e) {
            qCWarning(lcFileSystem).noquote() << "cannot open archive entry" << entry << "-"
                                              << e.what();
        }
        return nullptr;
    }
    QScopedPointer<QFile> file(new QFile(source));
    if (!file->open(QIODevice::ReadOnly))
        return nullptr;
    return file.take();
}

int CopyCache::copy(const QString &cacheKey, const QString &source, const QString &targetName,
                    const QString &location, const QString &type, QVariantMap &output, bool force,
                    Source from)
{
    if (source.isEmpty() || targetName.isEmpty())
        return BadArguments;
    const bool toLocal = sameWord(location, Other::local);
    if (!toLocal && !sameWord(location, Other::temporary))
        return BadArguments;
    const bool temporary = sameWord(type, Other::temporary);
    if (!temporary && !sameWord(type, Other::normal))
        return BadArguments;

    const QString folder = toLocal
        ? PathsManager::instance()->get(Constants::PathManager::contentsPath) + QLatin1Char('/')
        : QDir::tempPath();
    const QString target = QDir::cleanPath(folder + QLatin1Char('/') + targetName);
    const QFileInfo targetInfo(target);
    QDir().mkpath(targetInfo.absolutePath());

    KeyClaim claim(*this, cacheKey);

    if (!force && temporary) {
        QSharedPointer<QFile> cached;
        {
            QMutexLocker lock(&m_mutex);
            cached = m_cache.value(cacheKey);
        }
        // A copy deleted behind our back is made again rather than refused.
        if (cached && QFileInfo::exists(cached->fileName())) {
            describeFile(QFileInfo(cached->fileName()), output);
            return Ok;
        }
    }

    // The source opens first: a missing source must not cost the page the
    // file already at the target.
    QScopedPointer<QIODevice> input(openSource(source, from));
    if (!input)
        return CopyFailed;
    if (auto *file = qobject_cast<QFile *>(input.data())) {
        if (targetInfo.exists()
            && QFileInfo(file->fileName()).canonicalFilePath() == targetInfo.canonicalFilePath()) {
            qCWarning(lcFileSystem).noquote() << "refused to copy" << source << "onto itself";
            return BadArguments;
        }
    }

    if (temporary) {
        // Released before the new target opens: the old copy may have the
        // same name, and its removal must not hit the new file.
        QSharedPointer<QFile> previous;
        {
            QMutexLocker lock(&m_mutex);
            previous = m_cache.take(cacheKey);
        }
    }

    // Only the exact word makes a self-removing file; "Temporary" is cached
    // but stays on disk. Any other file is staged beside the target, so a
    // failed copy leaves the file there as it was; a device is written to.
    const bool device = targetInfo.exists() && !targetInfo.isFile() && !targetInfo.isSymLink();
    QSharedPointer<QFile> outputFile(type == key(Other::temporary) ? static_cast<QFile *>(new AutoRemoveFile(target))
                                     : device                      ? new QFile(target)
                                                                   : new kelcab::StagedFile(target));
    if (!outputFile->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qCWarning(lcFileSystem).noquote() << "cannot write" << target << "-"
                                          << outputFile->errorString();
        return CopyFailed;
    }

    QString failure;
    try {
        ChunkedCopy::copy(input.data(), outputFile.data(), &m_stopping);
        if (!outputFile->flush())
            failure = outputFile->errorString();
    } catch (const ArchiveException &e) {
        failure = e.message + QLatin1String(" (") + outputFile->errorString() + QLatin1Char(')');
    } catch (const std::exception &e) {
        failure = QString::fromLocal8Bit(e.what());
    }
    outputFile->close();
    if (failure.isEmpty() && outputFile->error() != QFileDevice::NoError)
        failure = outputFile->errorString();
    auto *staged = qobject_cast<kelcab::StagedFile *>(outputFile.data());
    if (failure.isEmpty() && staged && !staged->commit())
        failure = staged->errorString();
    if (!failure.isEmpty()) {
        qCWarning(lcFileSystem).noquote() << "copy of" << source << "to" << target
                                          << "failed -" << failure;
        // A cut copy must not pass for the file: a staged one is removed and
        // a temporary one goes with its object.
        return CopyFailed;
    }

    if (temporary) {
        QMutexLocker lock(&m_mutex);
        m_cache.insert(cacheKey, outputFile);
    }
    describeFile(QFileInfo(target), output);
    return Ok;
}
