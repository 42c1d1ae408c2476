#include "plugins/camera/ccamera.h"

#include "bridge/constants.h"
#include "plugins/camera/cameramanager.h"

#include <QCamera>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcCamera, "Camera")

using Constants::callback;
using Constants::key;
namespace JSInvoke = Constants::JSInvoke;
namespace Other = Constants::Other;

CCameraResolveResponse::CCameraResolveResponse(const QString &functionName)
    : IResponse({}, functionName, Resolved)
{
}

CCameraRejectResponse::CCameraRejectResponse(const QString &functionName)
    : IResponse({}, functionName, Rejected)
{
}

CCameraBarcodeResponse::CCameraBarcodeResponse(const QString &tag)
    : IResponse({{key(Other::tag), tag}}, callback(JSInvoke::barcodeScanned))
{
}

CCameraCloseResponse::CCameraCloseResponse() : IResponse({}, callback(JSInvoke::cameraClose))
{
}

void CCameraSession::notify(QSharedPointer<IResponse> response)
{
    // Unlike other tasks, notifications outlive the answer: they are the
    // camera's events for the page.
    if (!isCanceled())
        emit onNotify(response);
}

CCamera::CCamera(CameraManager *manager)
    : m_manager(manager ? manager : CameraManager::instance()),
      m_fail(callback(JSInvoke::startCameraFail))
{
    connect(m_manager, &CameraManager::barcodeScanned, this, &CCamera::barcodeScanned);
    connect(m_manager, &CameraManager::cameraClose, this, &CCamera::cameraClose);
    connect(this, &CCamera::barcodeScanned, this, [this](const QString &tag) {
        if (m_session)
            m_session->notify(ResponsePtr(new CCameraBarcodeResponse(tag)));
    });
    connect(this, &CCamera::cameraClose, this, [this] {
        if (m_session)
            m_session->notify(ResponsePtr(new CCameraCloseResponse));
    });
}

CCamera::~CCamera()
{
    if (QCamera *camera = m_manager->camera())
        disconnect(camera, nullptr, this, nullptr);
}

void CCamera::subscribe(Task::CTask *task, const QString &done, const QString &fail)
{
    // Context is the task: the subscription ends with it.
    connect(this, &CCamera::resolve, task, [task, done](const QString &status) {
        if (status == done)
            task->resolve(ResponsePtr(new CCameraResolveResponse(done)));
    }, Qt::DirectConnection);
    connect(this, &CCamera::reject, task, [task, fail](const QString &status) {
        if (status == fail)
            task->reject(ResponsePtr(new CCameraRejectResponse(fail)));
    }, Qt::DirectConnection);
}

QSharedPointer<Task::ITask> CCamera::initialize()
{
    QSharedPointer<CCameraSession> session(new CCameraSession, &QObject::deleteLater);
    subscribe(session.data(), callback(JSInvoke::initializePluginDone), QString());
    // Weak: until the view is up only the bridge's registry holds the call.
    const QWeakPointer<CCameraSession> weak = session;
    connect(session.data(), &Task::CTask::started, this, [this, weak] {
        if (const QSharedPointer<CCameraSession> s = weak.toStrongRef())
            runInitialization(s);
    }, Qt::DirectConnection);
    return session;
}

void CCamera::runInitialization(const QSharedPointer<CCameraSession> &session)
{
    // A view that exists is kept: the page that opened it may be gone (a
    // reload), so the notices follow the newest call and the earlier one
    // hears nothing more.
    if (!m_manager->camera()) {
        // The QML layer builds the view inside this emission, and the view
        // reports initializationDone from its completion: without that
        // report there is no view to wait for.
        bool viewReady = false;
        const QMetaObject::Connection ready =
            connect(m_manager, &CameraManager::initializationDone, this,
                    [&viewReady] { viewReady = true; }, Qt::DirectConnection);
        emit m_manager->startInitialization();
        disconnect(ready);
        if (!viewReady || !m_manager->camera()) {
            qCWarning(lcCamera) << "no camera view came up";
            session->reject(ResponsePtr(new CErrorResponse(
                Constants::Code::DeviceUnavailable,
                QStringLiteral("The camera view could not be opened"),
                callback(JSInvoke::initializePluginFail))));
            return;
        }
        disconnect(m_errorWatch);
        m_errorWatch = connect(m_manager->camera(), &QCamera::errorOccurred, this,
                               &CCamera::onCameraError);
    }
    m_session = session;
    emit resolve(callback(JSInvoke::initializePluginDone));
}

QSharedPointer<Task::ITask> CCamera::startCamera()
{
    const QSharedPointer<Task::CTask> task = Task::CTask::create();
    Task::CTask *t = task.data();
    subscribe(t, callback(JSInvoke::startCameraDone), callback(JSInvoke::startCameraFail));
    connect(t, &Task::CTask::started, this, [this, t] { runStart(t); }, Qt::DirectConnection);
    return task;
}

QSharedPointer<Task::ITask> CCamera::stopCamera()
{
    const QSharedPointer<Task::CTask> task = Task::CTask::create();
    Task::CTask *t = task.data();
    subscribe(t, callback(JSInvoke::stopCameraDone), callback(JSInvoke::stopCameraFail));
    connect(t, &Task::CTask::started, this, [this, t] { runStop(t); }, Qt::DirectConnection);
    return task;
}

QSharedPointer<Task::ITask> CCamera::setCameraText(const QString &text)
{
    const QSharedPointer<Task::CTask> task = Task::CTask::create();
    Task::CTask *t = task.data();
    connect(t, &Task::CTask::started, this, [this, t, text] {
        m_manager->setText(text);
        t->resolve(ResponsePtr(new CCameraResolveResponse(callback(JSInvoke::setCameraTextDone))));
    }, Qt::DirectConnection);
    return task;
}

static bool isUsable(QCamera *camera)
{
    return camera && camera->availability() == QMultimedia::Available;
}

void CCamera::watchState(QCamera *camera, Task::CTask *task, const QString &done,
                         QCamera::State doneState, const QString &fail)
{
    // Replaces the connection of the previous start or stop.
    disconnect(m_stateWatch);
    m_stateWatch = connect(camera, &QCamera::stateChanged, this,
                           [this, done, doneState](QCamera::State state) {
                               if (state == doneState)
                                   emit resolve(done);
                           });
    m_operation = task;
    m_fail = fail;
}

void CCamera::onCameraError()
{
    QCamera *camera = m_manager->camera();
    qCWarning(lcCamera) << "camera error:" << (camera ? camera->errorString() : QString());
    // A start or stop still running answers with its failure; once it has
    // answered, the failure goes where the page hears of its camera.
    if (m_operation && !m_operation->hasEnded())
        emit reject(m_fail);
    else if (m_session)
        m_session->notify(ResponsePtr(new CCameraRejectResponse(m_fail)));
}

void CCamera::runStart(Task::CTask *task)
{
    const QString done = callback(JSInvoke::startCameraDone);
    const QString fail = callback(JSInvoke::startCameraFail);
    QCamera *camera = m_manager->camera();
    if (!isUsable(camera)) {
        task->reject(ResponsePtr(new CCameraRejectResponse(fail)));
        return;
    }
    if (camera->state() == QCamera::ActiveState) {
        task->resolve(ResponsePtr(new CCameraResolveResponse(done)));
        return;
    }
    watchState(camera, task, done, QCamera::ActiveState, fail);
    camera->start();
    // A camera that failed inside start() has already answered the call.
    task->resolve(ResponsePtr(new CCameraResolveResponse(done)));
}

void CCamera::runStop(Task::CTask *task)
{
    const QString done = callback(JSInvoke::stopCameraDone);
    const QString fail = callback(JSInvoke::stopCameraFail);
    QCamera *camera = m_manager->camera();
    if (!isUsable(camera)) {
        task->reject(ResponsePtr(new CCameraRejectResponse(fail)));
        return;
    }
    if (camera->state() != QCamera::ActiveState) {
        task->resolve(ResponsePtr(new CCameraResolveResponse(done)));
        return;
    }
    // The end state of a stop; the active state would answer a stop when
    // the camera starts again.
    watchState(camera, task, done, QCamera::UnloadedState, fail);
    camera->stop();
    camera->unload();
    task->resolve(ResponsePtr(new CCameraResolveResponse(done)));
}
