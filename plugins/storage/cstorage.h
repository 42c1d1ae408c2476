#pragma once

#include "bridge/iplugin.h"
#include "bridge/response.h"
#include "plugins/storage/storage.h"

#include <QSharedPointer>
#include <QStringList>
#include <QThread>
#include <QVariantList>
#include <QVariantMap>

#include <functional>

// The storage service of the page. The database connection belongs to one
// thread of its own: every operation is queued to it and runs there, one
// after another in call order, so a transaction that the page opens spans
// whatever it calls until it commits or rolls back, and slow SQL or a sync
// to disk never holds up the GUI thread (which also serves the course's
// content). Answers come back to the GUI thread in the same order.
class CStorage : public CIdentifiable<IPlugin>
{
    Q_OBJECT
public:
    CStorage();
    // Runs what is queued (saves the page asked for still land), then closes
    // the database.
    ~CStorage() override;

    // Initialised through init(path) instead.
    QSharedPointer<Task::ITask> initialize() override { return {}; }

    QSharedPointer<Task::ITask> init(const QString &path);
    QSharedPointer<Task::ITask> sql(const QString &query, const QVariantList &values);
    QSharedPointer<Task::ITask> sqlBatch(const QString &query, const QVariantList &valueLists);
    QSharedPointer<Task::ITask> transaction();
    QSharedPointer<Task::ITask> commit();
    QSharedPointer<Task::ITask> rollback();
    QSharedPointer<Task::ITask> setItem(const QString &key, const QString &value);
    QSharedPointer<Task::ITask> setItems(const QVariantMap &items);
    QSharedPointer<Task::ITask> getItem(const QString &key);
    QSharedPointer<Task::ITask> getItems(const QStringList &keys);
    QSharedPointer<Task::ITask> removeItems(const QStringList &keys);
    QSharedPointer<Task::ITask> getKeys(const QString &pattern);

private:
    using Work = std::function<ResponsePtr(Storage &)>;
    // A task whose work runs on the storage thread once started.
    QSharedPointer<Task::ITask> post(Work work);

    QThread m_thread;
    Storage m_storage; // lives in m_thread
};
