#pragma once

#include "response.h"

#include <QObject>
#include <QSharedPointer>
#include <QString>

#include <atomic>
#include <functional>

namespace Task {

// A fresh identifier: a UUID as 36 lower-case characters, without braces.
QString newId();

// One asynchronous operation of a plugin. It reports progress zero or more
// times and ends with exactly one of onResolved, onRejected or onCanceled:
// reports that arrive after the first ending are dropped, so the page never
// hears of a call twice and the registry entry is released exactly once.
class ITask : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~ITask() override;

    virtual QString id() const = 0;
    virtual void resolve(QSharedPointer<IResponse> response) = 0;
    virtual void reject(QSharedPointer<IResponse> response) = 0;
    virtual void notify(QSharedPointer<IResponse> response) = 0;
    virtual void cancel() = 0;
    virtual void start() = 0;
    // Ends the task as the response's type says; without a response, or
    // with a type that is neither, it is logged and the task is canceled.
    void settle(const QSharedPointer<IResponse> &response);

signals:
    void onResolved(QSharedPointer<IResponse> response);
    void onRejected(QSharedPointer<IResponse> response);
    void onNotify(QSharedPointer<IResponse> response);
    void onCanceled();
};

using TaskPtr = QSharedPointer<ITask>;

// A plain task. Its work is attached by one of the ways below; reports made
// off the task's thread reach its signals on that thread, in the order made
// (and go nowhere once the task has been deleted).
class CTask : public ITask
{
    Q_OBJECT
public:
    CTask();

    // Tasks are handed around as shared pointers whose last copy is often
    // dropped inside the task's own ending signal: deletion is deferred.
    static QSharedPointer<CTask> create();

    QString id() const override;
    void resolve(QSharedPointer<IResponse> response) override;
    void reject(QSharedPointer<IResponse> response) override;
    void notify(QSharedPointer<IResponse> response) override;
    void cancel() override;
    void start() override;

    bool isCanceled() const { return m_canceled.load(); }
    bool hasEnded() const { return m_ended.load(); }

signals:
    void started();

protected:
    // True for the first ending only.
    bool markEnded() { return !m_ended.exchange(true); }
    // Off the task's thread: queues f to it and returns true.
    bool elsewhere(std::function<void()> f);

private:
    const QString m_id;
    std::atomic<bool> m_canceled{false};
    std::atomic<bool> m_ended{false};
};

// The deleter of every task: later, from the event loop, when there is one.
void release(QObject *task);

// The ways a task's work runs. Each begins on start(), never before, and
// hands the work its task to report through.

// Inside start(), on the thread that starts it (the main thread). Nothing
// runs once owner has gone; a null owner is the task itself. T is CTask or
// a service's own kind of task.
template <typename T = CTask, typename Work>
QSharedPointer<T> onStart(QObject *owner, Work work)
{
    const QSharedPointer<T> task(new T, release);
    // Weak: the connection belongs to the task.
    const QWeakPointer<T> weak = task;
    QObject::connect(task.data(), &CTask::started, owner ? owner : task.data(),
                     [weak, work = std::move(work)]() mutable {
                         if (const QSharedPointer<T> t = weak.toStrongRef())
                             work(t);
                     },
                     Qt::DirectConnection);
    return task;
}

// On owner's thread, from its event loop after start() has returned: a
// service's own thread, or objects that only their thread may touch. Works
// run in start order, and a started one runs while owner lives even if
// every other holder has let go of its task.
template <typename Work>
QSharedPointer<CTask> onThread(QObject *owner, Work work)
{
    return onStart(owner, [owner, work = std::move(work)](const QSharedPointer<CTask> &task) {
        QMetaObject::invokeMethod(owner, [task, work]() mutable { work(task); },
                                  Qt::QueuedConnection);
    });
}

// On the global thread pool: the response f returns ends the task (see
// settle). An exception that escapes f is logged and counts as no response.
// f must never wait for the main thread, which waits for the pool at exit.
QSharedPointer<CTask> onPool(std::function<QSharedPointer<IResponse>()> f);

} // namespace Task

Q_DECLARE_METATYPE(QSharedPointer<IResponse>)
