#pragma once

#include "bridge/iplugin.h"

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
    // Where the copy routine reads: Auto takes paths under the wrapper access
    // path ("/webapp/") from the content archive and others from disk;
    // Archive always reads the content archive.
    enum class Source { Auto, Archive };

    explicit CFileSystem(ArchiveAccessManager *archive);
    ~CFileSystem() override;

    QSharedPointer<Task::ITask> initialize() override { return {}; }

    // The copy routine shared with the content scheme handler; thread-safe.
    // Fills output with filepath/filename/filedir/size on success and returns
    // a Constants::Code. Copies of one cache key run one at a time; with force
    // clear and type "temporary" an earlier temporary copy of the key is reused.
    int copy(const QString &cacheKey, const QString &source, const QString &targetName,
             const QString &location, const QString &type, QVariantMap &output, bool force,
             Source from = Source::Auto);

public slots:
    QSharedPointer<Task::ITask> itemsInfo(const QVariantMap &paths);
    QSharedPointer<Task::ITask> itemsDelete(const QVariantMap &paths);
    QSharedPointer<Task::ITask> itemsCopy(const QVariantMap &paths);
    QSharedPointer<Task::ITask> itemsList(const QVariantMap &paths);
    QSharedPointer<Task::ITask> contentsRootPath();

private:
    class State;
    // Shared with running tasks, so that a task outliving the plugin still
    // finds its cache.
    QSharedPointer<State> m_state;
};
