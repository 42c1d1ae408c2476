#pragma once

#include "bridge/iplugin.h"
#include "content/copycache.h"

#include <QSharedPointer>
#include <QVariantMap>

class ArchiveAccessManager;

// File system service of the page: info, delete, copy and list of items, and
// the shell's well-known folders. Every operation answers one map with an
// entry per item and always resolves.
class CFileSystem : public CIdentifiable<IPlugin>
{
    Q_OBJECT
public:

    explicit CFileSystem(ArchiveAccessManager *archive);
    ~CFileSystem() override;

    QSharedPointer<Task::ITask> initialize() override { return {}; }

    // The copy routine of the page's copies (see CopyCache); thread-safe.
    int copy(const QString &cacheKey, const QString &source, const QString &targetName,
             const QString &location, const QString &type, QVariantMap &output, bool force);

public slots:
    QSharedPointer<Task::ITask> itemsInfo(const QVariantMap &paths);
    QSharedPointer<Task::ITask> itemsDelete(const QVariantMap &paths);
    QSharedPointer<Task::ITask> itemsCopy(const QVariantMap &paths);
    QSharedPointer<Task::ITask> itemsList(const QVariantMap &paths);
    QSharedPointer<Task::ITask> contentsRootPath();

private:
    // Shared with running tasks, so that a task outliving the plugin still
    // finds its cache.
    QSharedPointer<CopyCache> m_copies;
};
