#include "plugins/filesystem/cfilesystem.h"

#include "app/pathsmanager.h"
#include "bridge/constants.h"
#include "bridge/task.h"
#include "content/copycache.h"
#include "plugins/filesystem/cfilesystemresponses.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QVariantList>

using Constants::key;
namespace Other = Constants::Other;
using namespace Constants::Code;

namespace {

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
    return Task::onPool([paths, fn]() -> QSharedPointer<IResponse> {
        QVariantMap result;
        for (auto it = paths.cbegin(); it != paths.cend(); ++it)
            result.insert(it.key(), fn(it.value()));
        return QSharedPointer<IResponse>(new Response(result));
    });
}

} // namespace

CFileSystem::CFileSystem(ArchiveAccessManager *archive) : m_copies(new CopyCache(archive))
{
}

CFileSystem::~CFileSystem()
{
    // Running copies end at their next chunk, so shutting down waits little.
    m_copies->stop();
}

int CFileSystem::copy(const QString &cacheKey, const QString &source, const QString &targetName,
                      const QString &location, const QString &type, QVariantMap &output,
                      bool force)
{
    return m_copies->copy(cacheKey, source, targetName, location, type, output, force);
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
    const QSharedPointer<CopyCache> copies = m_copies;
    return perItem<CFileSystemItemsCopyResponse>(paths, [copies](const QVariant &value) {
        const QVariantMap item = value.toMap();
        const QString from = item.value(key(Other::from)).toString();
        const QString to = item.value(key(Other::to)).toString();
        const QString location = item.value(key(Other::location), key(Other::temporary)).toString();
        const QString type = item.value(key(Other::type), key(Other::normal)).toString();
        QVariantMap out;
        const int code = copies->copy(from, from, to, location, type, out, true);
        out.insert(key(Other::code), code);
        return out;
    });
}

QSharedPointer<Task::ITask> CFileSystem::contentsRootPath()
{
    return Task::onPool([]() -> QSharedPointer<IResponse> {
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
