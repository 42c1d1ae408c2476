#include "plugins/application/capplication.h"

#include "bridge/constants.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLoggingCategory>

#include <utility>

Q_LOGGING_CATEGORY(lcApplication, "Application")

using Constants::key;
namespace Other = Constants::Other;
namespace JSInvoke = Constants::JSInvoke;

CApplicationResolvedResponse::CApplicationResolvedResponse() = default;

CApplicationInfoResponse::CApplicationInfoResponse(const QString &dirPath,
                                                   const QString &filePath,
                                                   const QString &name,
                                                   const QString &displayName)
    : IResponse({{key(Other::dir_path), dirPath},
                 {key(Other::file_path), filePath},
                 {key(Other::name), name},
                 {key(Other::display_name), displayName}},
                Constants::callback(JSInvoke::applicationInfoDone))
{
}

CApplicationStateResponse::CApplicationStateResponse(const QString &functionName,
                                                     const QVariantMap &data)
    : IResponse(data, functionName)
{
}

CApplicationEvent::CApplicationEvent(const QMLEvent &event)
    : IResponse({}, callbackName()), m_event(event)
{
}

QVariantMap CApplicationEvent::toVariantMap() const
{
    return m_event.data();
}

CApplication::CApplication() = default;

CApplication::~CApplication() = default;

QSharedPointer<Task::ITask> CApplication::initialize()
{
    auto task = Task::onPool(
        [] { return ResponsePtr(new CApplicationResolvedResponse); });
    // Queued, so that the page hears of its initialisation first and the
    // queued events after it.
    connect(task.data(), &Task::ITask::onResolved, this, [this] {
        QMetaObject::invokeMethod(this, &CApplication::releasePendingEvents, Qt::QueuedConnection);
    }, Qt::DirectConnection);
    return task;
}

void CApplication::releasePendingEvents()
{
    m_initialized = true;
    m_droppedEvents = 0;
    // send() may run page-side code that reaches back here; take the list.
    const QList<QMLEvent> events = std::exchange(m_pendingEvents, {});
    for (const QMLEvent &event : events)
        send(event);
}

void CApplication::applicationEvent(QMLEvent event)
{
    if (event.isNull()) {
        qCWarning(lcApplication) << "ignored an application event without data";
        return;
    }
    if (!m_initialized) {
        if (m_pendingEvents.size() >= MaxPendingEvents) {
            m_pendingEvents.removeFirst();
            if (m_droppedEvents++ == 0)
                qCWarning(lcApplication).nospace()
                    << "more than " << MaxPendingEvents
                    << " application events wait for the page; the oldest are dropped";
        }
        m_pendingEvents.append(event);
        return;
    }
    send(event);
}

void CApplication::send(const QMLEvent &event)
{
    const CApplicationEvent response(event);
    emit invokeJSCall(response.functionName, response.toVariantMap());
}

// Answered on the GUI thread as soon as it is started: pool tasks may end in
// any order, and the page must see the last state last.
QSharedPointer<Task::ITask> CApplication::stateChanged(int code)
{
    return Task::onStart(this, [code](const QSharedPointer<Task::CTask> &task) {
        task->resolve(ResponsePtr(new CApplicationStateResponse(
            Constants::callback(JSInvoke::applicationStateChanged),
            {{key(Other::state_code), code}})));
    });
}

// The values below are read here, on the GUI thread, where the application
// object keeps them; the pool only builds the answer.

QSharedPointer<Task::ITask> CApplication::setState()
{
    return Task::onPool([] {
        return ResponsePtr(new CApplicationStateResponse(
            Constants::callback(JSInvoke::setApplicationStateFinish)));
    });
}

QSharedPointer<Task::ITask> CApplication::getState()
{
    const int state = static_cast<int>(QGuiApplication::applicationState());
    return Task::onPool([state] {
        return ResponsePtr(new CApplicationStateResponse(
            Constants::callback(JSInvoke::getApplicationStateFinish),
            {{key(Other::state_code), state}}));
    });
}

QSharedPointer<Task::ITask> CApplication::info()
{
    const QString dirPath = QCoreApplication::applicationDirPath();
    const QString filePath = QCoreApplication::applicationFilePath();
    const QString name = QCoreApplication::applicationName();
    const QString displayName = QGuiApplication::applicationDisplayName();
    return Task::onPool([=] {
        return ResponsePtr(new CApplicationInfoResponse(dirPath, filePath, name, displayName));
    });
}
