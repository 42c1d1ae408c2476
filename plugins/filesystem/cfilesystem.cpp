#include "plugins/filesystem/cfilesystem.h"

#include "app/pathsmanager.h"
#include "bridge/constants.h"
#include "bridge/task.h"
#include "content/archiveaccessmanager.h"
#include "content/archiveexception.h"
#include "content/archivepath.h"
#include "plugins/filesystem/autoremovefile.h"
#include "plugins/filesystem/cfilesystemresponses.h"
#include "plugins/filesystem/chunkedcopy.h"

#include <kelcab/stagedfile.h>

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QScopedPointer>
#include <QSet>
#include <QVariantList>
#include <QWaitCondition>

#include <exception>

Q_LOGGING_CATEGORY(lcFileSystem, "FileSystem")

using Constants::key;
namespace Other = Constants::Other;
using namespace Constants::Code;

class CFileSystem::State
{
public:
    explicit State(ArchiveAccessManager *archive) : archive(archive) {}

    int copy(const QString &cacheKey, const QString &source, const QString &targetName,
             const QString &location, const QString &type, QVariantMap &output, bool force,
             Source from);

    ArchiveAccessManager *const archive;

private:
    class KeyClaim;
    QIODevice *openSource(const QString &source, Source from);

    QMutex m_mutex;
    QWaitCondition m_released;
    QSet<QString> m_busyKeys;
    // Source key -> latest "temporary" copy. A null entry never stays: a
    // failed copy leaves no entry.
    QMap<QString, QSharedPointer<QFile>> m_cache;
};

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

QVariantMap infoItem(const QVariant &value)
{
    const QString path = value.toString();
    const QFileInfo info(path);
    return {
        {key(Other::file_path), path},
        {key(Other::size), info.size()},
        {key(Other::isDir), info.isDir()},
        {key(Other::exists), info.exists()},
        {key(Other::isWritable), info.isWritable()},
        {key(Other::isReadable), info.isReadable()},
    };
}

QVariantMap deleteItem(const QVariant &value)
{
    const QString path = value.toString();
    const QFileInfo info(path);
    // A dangling link does not "exist" for QFileInfo but is still removable.
    const bool existed = info.exists() || info.isSymLink();
    QVariantMap out{{key(Other::file_path), path}, {key(Other::existed), existed}};
    if (!existed)
        return out;
    out.insert(key(Other::isDir), info.isDir());
    bool deleted;
    if (info.isSymLink())
        deleted = QFile::remove(path); // the link only, never what it points to
    else if (info.isDir())
        deleted = QDir(path).removeRecursively();
    else
        deleted = QFile::remove(path);
    out.insert(key(Other::isDeleted), deleted);
    return out;
}

QVariantMap listItem(const QVariant &value)
{
    const QVariantMap request = value.toMap();
    if (!request.contains(key(Other::path)))
        return {};
    const QString root = request.value(key(Other::path)).toString();
    QVariantList entries;
    QDirIterator it(root, QDir::Dirs | QDir::Files | QDir::Drives | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        QString shown = info.absoluteFilePath();
        // Only the leading root goes: a name that repeats the root's text
        // must stay whole. A root written differently keeps the full path.
        if (!root.isEmpty() && shown.startsWith(root))
            shown.remove(0, root.size());
        entries.append(QVariantMap{
            {key(Other::size), info.size()},
            {key(Other::isDir), info.isDir()},
            {key(Other::file_path), shown},
        });
    }
    return {{key(Other::file_path), root}, {key(Other::entries), entries}};
}

template <typename Response, typename Fn>
QSharedPointer<Task::ITask> perItem(const QVariantMap &paths, Fn fn)
{
    return Task::CFutureTask::run([paths, fn]() -> QSharedPointer<IResponse> {
        QVariantMap result;
        for (auto it = paths.cbegin(); it != paths.cend(); ++it)
            result.insert(it.key(), fn(it.value()));
        return QSharedPointer<IResponse>(new Response(result));
    });
}

} // namespace

// Copies of one cache key run one after another; other keys are not held up,
// and the cache mutex is never held during a copy.
class CFileSystem::State::KeyClaim
{
public:
    KeyClaim(State &state, const QString &key) : m_state(state), m_key(key)
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
    State &m_state;
    const QString m_key;
};

QIODevice *CFileSystem::State::openSource(const QString &source, Source from)
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

int CFileSystem::State::copy(const QString &cacheKey, const QString &source,
                             const QString &targetName, const QString &location,
                             const QString &type, QVariantMap &output, bool force, Source from)
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
        ChunkedCopy::copy(input.data(), outputFile.data());
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

CFileSystem::CFileSystem(ArchiveAccessManager *archive) : m_state(new State(archive))
{
}

CFileSystem::~CFileSystem() = default;

int CFileSystem::copy(const QString &cacheKey, const QString &source, const QString &targetName,
                      const QString &location, const QString &type, QVariantMap &output,
                      bool force, Source from)
{
    return m_state->copy(cacheKey, source, targetName, location, type, output, force, from);
}

QSharedPointer<Task::ITask> CFileSystem::itemsInfo(const QVariantMap &paths)
{
    return perItem<CFileSystemItemsInfoResponse>(paths, infoItem);
}

QSharedPointer<Task::ITask> CFileSystem::itemsDelete(const QVariantMap &paths)
{
    return perItem<CFileSystemItemsDeleteResponse>(paths, deleteItem);
}

QSharedPointer<Task::ITask> CFileSystem::itemsList(const QVariantMap &paths)
{
    return perItem<CFileSystemItemsListResponse>(paths, listItem);
}

QSharedPointer<Task::ITask> CFileSystem::itemsCopy(const QVariantMap &paths)
{
    const QSharedPointer<State> state = m_state;
    return perItem<CFileSystemItemsCopyResponse>(paths, [state](const QVariant &value) {
        const QVariantMap item = value.toMap();
        const QString from = item.value(key(Other::from)).toString();
        const QString to = item.value(key(Other::to)).toString();
        const QString location = item.value(key(Other::location), key(Other::temporary)).toString();
        const QString type = item.value(key(Other::type), key(Other::normal)).toString();
        QVariantMap out;
        const int code = state->copy(from, from, to, location, type, out, true, Source::Auto);
        out.insert(key(Other::code), code);
        return out;
    });
}

QSharedPointer<Task::ITask> CFileSystem::contentsRootPath()
{
    return Task::CFutureTask::run([]() -> QSharedPointer<IResponse> {
        using namespace Constants::PathManager;
        const PathsManager *paths = PathsManager::instance();
        const QVariantMap result{
            {key(Other::home_path), paths->get(homePath)},
            {key(Other::download_path), paths->get(downloadPath)},
            {key(Other::contents_root_path), paths->get(contentsPath)},
            {key(Other::wrapper_access_path), paths->get(wrapperAccessPath)},
            {key(Other::documents_path), paths->get(documentsPath)},
        };
        return QSharedPointer<IResponse>(new CFileSystemContentsRootPathResponse(result));
    });
}
