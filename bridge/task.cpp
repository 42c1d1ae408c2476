#include "task.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QThreadPool>
#include <QUuid>
#include <QtConcurrent>

#include <exception>

Q_LOGGING_CATEGORY(lcTask, "Task")

namespace Task {

namespace {
void deferredDelete(QObject *object)
{
    // Without an application there is no event loop to run a deferred delete.
    if (QCoreApplication::instance())
        object->deleteLater();
    else
        delete object;
}
} // namespace

QString newId()
{
    const QString text = QUuid::createUuid().toString();
    return text.mid(1, text.length() - 2);
}

ITask::~ITask() = default;

void ITask::settle(const QSharedPointer<IResponse> &response)
{
    if (response && response->type == IResponse::Rejected)
        reject(response);
    else
        resolve(response);
}

CTask::CTask() : m_id(newId())
{
}

QSharedPointer<CTask> CTask::create()
{
    return QSharedPointer<CTask>(new CTask, deferredDelete);
}

QString CTask::id() const
{
    return m_id;
}

void CTask::resolve(QSharedPointer<IResponse> response)
{
    if (markEnded())
        emit onResolved(response);
    else
        qCDebug(lcTask) << "dropped a resolve after the end of task" << m_id;
}

void CTask::reject(QSharedPointer<IResponse> response)
{
    if (markEnded())
        emit onRejected(response);
    else
        qCDebug(lcTask) << "dropped a reject after the end of task" << m_id;
}

void CTask::notify(QSharedPointer<IResponse> response)
{
    if (!m_ended.load())
        emit onNotify(response);
}

void CTask::cancel()
{
    m_canceled.store(true);
    if (markEnded())
        emit onCanceled();
}

void CTask::start()
{
    emit started();
}

CFutureTask::CFutureTask(QFuture<QSharedPointer<IResponse>> future) : m_future(future)
{
}

QSharedPointer<CFutureTask> CFutureTask::run(Function f)
{
    auto guarded = [f = std::move(f)]() -> QSharedPointer<IResponse> {
        try {
            return f();
        } catch (const std::exception &e) {
            qCWarning(lcTask) << "task function failed:" << e.what();
        } catch (...) {
            qCWarning(lcTask) << "task function failed with an unknown exception";
        }
        return {};
    };
    auto future = QtConcurrent::run(QThreadPool::globalInstance(), std::move(guarded));
    return QSharedPointer<CFutureTask>(new CFutureTask(future), deferredDelete);
}

void CFutureTask::start()
{
    connect(&m_watcher, &QFutureWatcherBase::finished, &m_watcher, [this] { complete(); },
            Qt::DirectConnection);
    if (m_watcher.future() != m_future)
        m_watcher.setFuture(m_future);
}

void CFutureTask::complete()
{
    QSharedPointer<IResponse> result;
    try {
        if (m_future.resultCount() > 0)
            result = m_watcher.result();
    } catch (const std::exception &e) {
        qCWarning(lcTask) << "task" << id() << "failed:" << e.what();
    }
    if (!result) {
        // Nothing to report: end the task so that its registry entry goes.
        qCWarning(lcTask) << "task" << id() << "produced no response";
        cancel();
        return;
    }
    switch (result->type) {
    case IResponse::Resolved:
        resolve(result);
        break;
    case IResponse::Rejected:
        reject(result);
        break;
    default:
        qCWarning(lcTask) << "task" << id() << "ignored a response of type" << result->type;
        cancel();
        break;
    }
}

} // namespace Task
