#include "plugins/storage/cstorage.h"

#include "bridge/constants.h"
#include "bridge/task.h"
#include "plugins/storage/cstorageresponses.h"

#include <QLoggingCategory>
#include <QMetaObject>

Q_DECLARE_LOGGING_CATEGORY(lcStorage)

namespace JSInvoke = Constants::JSInvoke;

namespace {

ResponsePtr outcome(bool ok, JSInvoke::_JSInvoke done, JSInvoke::_JSInvoke failed)
{
    if (ok)
        return ResponsePtr(new CStorageResolveResponse(done));
    return ResponsePtr(new CStorageRejectResponse(failed));
}

ResponsePtr rejected(JSInvoke::_JSInvoke failed)
{
    return ResponsePtr(new CStorageRejectResponse(failed));
}

} // namespace

CStorage::CStorage()
{
    m_thread.setObjectName(QStringLiteral("Storage"));
    m_storage.moveToThread(&m_thread);
    m_thread.start();
}

CStorage::~CStorage()
{
    if (m_thread.isRunning()) {
        QThread *home = thread();
        // Queued behind every job still waiting, so those run first. Jobs
        // use this object, and every save the page asked for must land (a
        // statement cannot be cut short the way a copy can): no bound.
        QMetaObject::invokeMethod(
            &m_storage,
            [this, home] {
                m_storage.close();
                m_storage.moveToThread(home);
                m_thread.quit();
            },
            Qt::QueuedConnection);
        if (!m_thread.wait(5000)) {
            qCWarning(lcStorage) << "storage still writing at shutdown; waiting for it";
            m_thread.wait();
        }
    }
}

QSharedPointer<Task::ITask> CStorage::post(Work work)
{
    // In call order on the storage thread; the answer goes back to the task's.
    return Task::onThread(&m_storage, [this, work](const QSharedPointer<Task::CTask> &task) {
        task->settle(work(m_storage));
    });
}

QSharedPointer<Task::ITask> CStorage::init(const QString &path)
{
    return post([path](Storage &s) {
        return outcome(s.init(path), JSInvoke::initializePluginDone,
                       JSInvoke::initializePluginFail);
    });
}

QSharedPointer<Task::ITask> CStorage::sql(const QString &query, const QVariantList &values)
{
    return post([query, values](Storage &s) -> ResponsePtr {
        QVariantList rows;
        if (!s.sql(query, values, rows))
            return rejected(JSInvoke::dbSqlFail);
        return ResponsePtr(new CStorageSqlResponse(JSInvoke::dbSqlDone, rows));
    });
}

QSharedPointer<Task::ITask> CStorage::sqlBatch(const QString &query,
                                               const QVariantList &valueLists)
{
    return post([query, valueLists](Storage &s) -> ResponsePtr {
        QVariantList results;
        if (!s.sqlBatch(query, valueLists, results))
            return rejected(JSInvoke::dbSqlBatchFail);
        return ResponsePtr(new CStorageSqlResponse(JSInvoke::dbSqlBatchDone, results));
    });
}

QSharedPointer<Task::ITask> CStorage::transaction()
{
    return post([](Storage &s) {
        return outcome(s.transaction(), JSInvoke::dbTransactionFinish,
                       JSInvoke::dbTransactionError);
    });
}

QSharedPointer<Task::ITask> CStorage::commit()
{
    return post([](Storage &s) {
        return outcome(s.commit(), JSInvoke::dbCommitFinish, JSInvoke::dbCommitError);
    });
}

QSharedPointer<Task::ITask> CStorage::rollback()
{
    return post([](Storage &s) {
        return outcome(s.rollback(), JSInvoke::dbRollbackFinish, JSInvoke::dbRollbackError);
    });
}

QSharedPointer<Task::ITask> CStorage::setItem(const QString &key, const QString &value)
{
    return post([key, value](Storage &s) {
        return outcome(s.setItem(key, value), JSInvoke::saveDBItemDone,
                       JSInvoke::saveDBItemError);
    });
}

QSharedPointer<Task::ITask> CStorage::setItems(const QVariantMap &items)
{
    return post([items](Storage &s) {
        return outcome(s.setItems(items), JSInvoke::saveDBItemsDone,
                       JSInvoke::saveDBItemsError);
    });
}

QSharedPointer<Task::ITask> CStorage::getItem(const QString &key)
{
    return post([key](Storage &s) -> ResponsePtr {
        QString value;
        if (!s.getItem(key, value))
            return rejected(JSInvoke::loadDBItemError);
        return ResponsePtr(new CStorageGetItemResponse(value));
    });
}

QSharedPointer<Task::ITask> CStorage::getItems(const QStringList &keys)
{
    return post([keys](Storage &s) -> ResponsePtr {
        QVariantMap items;
        if (!s.getItems(keys, items, Answer::kMaxBytes))
            return rejected(JSInvoke::loadDBItemsError);
        return ResponsePtr(new CStorageGetItemsResponse(items));
    });
}

QSharedPointer<Task::ITask> CStorage::removeItems(const QStringList &keys)
{
    return post([keys](Storage &s) {
        return outcome(s.removeItems(keys), JSInvoke::removeDBItemsFinish,
                       JSInvoke::removeDBItemsError);
    });
}

QSharedPointer<Task::ITask> CStorage::getKeys(const QString &pattern)
{
    return post([pattern](Storage &s) -> ResponsePtr {
        QStringList keys;
        if (!s.getKeys(pattern, keys))
            return rejected(JSInvoke::getDBKeysError);
        return ResponsePtr(new CStorageGetKeysResponse(keys));
    });
}
