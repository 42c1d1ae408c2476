#pragma once

#include "bridge/task.h"

#include <QObject>
#include <QSharedPointer>
#include <QWeakPointer>

#include <utility>

namespace Task {

// A plain task whose work runs in the thread that owns owner, after start()
// has returned: media objects must only be touched by their own thread, and
// nothing waits for that thread. The work receives the task and reports
// through it; a task released before its turn is skipped.
template <typename Work>
QSharedPointer<CTask> onOwnerThread(QObject *owner, Work work)
{
    const QSharedPointer<CTask> task = CTask::create();
    const QWeakPointer<CTask> weak = task;
    QObject::connect(task.data(), &CTask::started, owner,
                     [weak, work = std::move(work)]() mutable {
                         if (const QSharedPointer<CTask> t = weak.toStrongRef())
                             work(t);
                     },
                     Qt::QueuedConnection);
    return task;
}

} // namespace Task
