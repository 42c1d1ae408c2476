#pragma once

#include "response.h"

#include <QFuture>
#include <QFutureWatcher>
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
    // Ends the task as the response's type says: rejected, else resolved.
    void settle(const QSharedPointer<IResponse> &response);

signals:
    void onResolved(QSharedPointer<IResponse> response);
    void onRejected(QSharedPointer<IResponse> response);
    void onNotify(QSharedPointer<IResponse> response);
    void onCanceled();
};

using TaskPtr = QSharedPointer<ITask>;

// A plain task: its creator connects started() to the work or reports from
// handlers of other signals.
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

private:
    const QString m_id;
    std::atomic<bool> m_canceled{false};
    std::atomic<bool> m_ended{false};
};

// Runs one function on the global thread pool and reports the response it
// returns, in the thread that owns the task.
class CFutureTask : public CTask
{
    Q_OBJECT
public:
    using Function = std::function<QSharedPointer<IResponse>()>;

    explicit CFutureTask(QFuture<QSharedPointer<IResponse>> future);

    // Starts f on QThreadPool::globalInstance() at once. An exception that
    // escapes f is logged and the task ends as canceled, like an empty result.
    static QSharedPointer<CFutureTask> run(Function f);

    void start() override;

private:
    void complete();

    QFuture<QSharedPointer<IResponse>> m_future;
    QFutureWatcher<QSharedPointer<IResponse>> m_watcher;
};

} // namespace Task

Q_DECLARE_METATYPE(QSharedPointer<IResponse>)
