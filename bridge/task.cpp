#include "task.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QThread>
#include <QThreadPool>
#include <QUuid>

#include <exception>

Q_LOGGING_CATEGORY(lcTask, "Task")

namespace Task {

void release(QObject *task)
{
    // Without an application there is no event loop to run a deferred delete.
    if (QCoreApplication::instance())
        task->deleteLater();
    else
        delete task;
}

QString newId()
{
    const QString text = QUuid::createUuid().toString();
    return text.mid(1, text.length() - 2);
}

ITask::~ITask() = default;

void ITask::settle(const QSharedPointer<IResponse> &response)
{
    if (response && response->type == IResponse::Resolved) {
        resolve(response);
    } else if (response && response->type == IResponse::Rejected) {
        reject(response);
    } else {
        // Nothing to report: end the task so that its registry entry goes.
        if (response)
            qCWarning(lcTask) << "task" << id() << "ignored a response of type" << response->type;
        else
            qCWarning(lcTask) << "task" << id() << "produced no response";
        cancel();
    }
}

CTask::CTask() : m_id(newId())
{
}

QSharedPointer<CTask> CTask::create()
{
    return QSharedPointer<CTask>(new CTask, release);
}

QString CTask::id() const
{
    return m_id;
}

bool CTask::elsewhere(std::function<void()> f)
{
    if (thread() == QThread::currentThread())
        return false;
    QMetaObject::invokeMethod(this, std::move(f), Qt::QueuedConnection);
    return true;
}

void CTask::resolve(QSharedPointer<IResponse> response)
{
    if (elsewhere([this, response] { resolve(response); }))
        return;
    if (markEnded())
        emit onResolved(response);
    else
        qCDebug(lcTask) << "dropped a resolve after the end of task" << m_id;
}

void CTask::reject(QSharedPointer<IResponse> response)
{
    if (elsewhere([this, response] { reject(response); }))
        return;
    if (markEnded())
        emit onRejected(response);
    else
        qCDebug(lcTask) << "dropped a reject after the end of task" << m_id;
}

void CTask::notify(QSharedPointer<IResponse> response)
{
    if (elsewhere([this, response] { notify(response); }))
        return;
    if (!m_ended.load())
        emit onNotify(response);
}

void CTask::cancel()
{
    m_canceled.store(true);
    if (elsewhere([this] { cancel(); }))
        return;
    if (markEnded())
        emit onCanceled();
}

void CTask::start()
{
    emit started();
}

QSharedPointer<CTask> onPool(std::function<QSharedPointer<IResponse>()> f)
{
    return onStart(nullptr, [f = std::move(f)](const QSharedPointer<CTask> &task) {
        // The pool holds the task until the work is done.
        QThreadPool::globalInstance()->start([f, task] {
            QSharedPointer<IResponse> response;
            try {
                response = f();
            } catch (const std::exception &e) {
                qCWarning(lcTask) << "task function failed:" << e.what();
            } catch (...) {
                qCWarning(lcTask) << "task function failed with an unknown exception";
            }
            task->settle(response);
        });
    });
}

} // namespace Task
