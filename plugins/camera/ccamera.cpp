#include "plugins/camera/ccamera.h"

#include "bridge/constants.h"
#include "plugins/camera/cameramanager.h"

#include <QCamera>
#include <QLoggingCategory>
#include <QZXing.h>

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

QCamera *CCamera::currentCamera() const
{
    return qobject_cast<QCamera *>(m_manager->camera());
}

CCamera::~CCamera()
{
    if (QCamera *camera = currentCamera())
        disconnect(camera, nullptr, this, nullptr);
}

void CCamera::answer(Task::CTask *task, const QString &name, bool ok)
{
    if (task->hasEnded())
        return;
    if (ok) {
        task->resolve(ResponsePtr(new CCameraResolveResponse(name)));
        emit resolve(name);
    } else {
        task->reject(ResponsePtr(new CCameraRejectResponse(name)));
        emit reject(name);
    }
}

QSharedPointer<Task::ITask> CCamera::initialize()
{
    return Task::onStart<CCameraSession>(
        this, [this](const QSharedPointer<CCameraSession> &session) { runInitialization(session); });
}

void CCamera::runInitialization(const QSharedPointer<CCameraSession> &session)
{
    // A view that exists is kept: the page that opened it may be gone (a
    // reload), so the notices follow the newest call and the earlier one
    // hears nothing more.
    if (!currentCamera()) {
        // The view's decoder types (QZXing 3.3), registered once. QZXing
        // is linked here, in the media module, so that it loads with the
        // first media call rather than with every start.
        static const bool decoderTypes = (QZXing::registerQMLTypes(), true);
        Q_UNUSED(decoderTypes)
        // The QML layer builds the view inside this emission, and the view
        // reports initializationDone from its completion: without that
        // report there is no view to wait for.
        bool viewReady = false;
        const QMetaObject::Connection ready =
            connect(m_manager, &CameraManager::initializationDone, this,
                    [&viewReady] { viewReady = true; }, Qt::DirectConnection);
        emit m_manager->startInitialization();
        disconnect(ready);
        if (!viewReady || !currentCamera()) {
            qCWarning(lcCamera) << "no camera view came up";
            session->reject(ResponsePtr(new CErrorResponse(
                Constants::Code::DeviceUnavailable,
                QStringLiteral("The camera view could not be opened"),
                callback(JSInvoke::initializePluginFail))));
            return;
        }
        disconnect(m_errorWatch);
        m_errorWatch = connect(currentCamera(), &QCamera::errorOccurred, this,
                               &CCamera::onCameraError);
    }
    m_session = session;
    answer(session.data(), callback(JSInvoke::initializePluginDone), true);
}

QSharedPointer<Task::ITask> CCamera::startCamera()
{
    return Task::onStart(this, [this](const QSharedPointer<Task::CTask> &task) { runStart(task.data()); });
}

QSharedPointer<Task::ITask> CCamera::stopCamera()
{
    return Task::onStart(this, [this](const QSharedPointer<Task::CTask> &task) { runStop(task.data()); });
}

QSharedPointer<Task::ITask> CCamera::setCameraText(const QString &text)
{
    return Task::onStart(this, [this, text](const QSharedPointer<Task::CTask> &task) {
        m_manager->setText(text);
        answer(task.data(), callback(JSInvoke::setCameraTextDone), true);
    });
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
                               // Dropped by a call that has answered already.
                               if (state == doneState && m_operation)
                                   answer(m_operation, done, true);
                           });
    m_operation = task;
    m_fail = fail;
}

void CCamera::onCameraError()
{
    QCamera *camera = currentCamera();
    qCWarning(lcCamera) << "camera error:" << (camera ? camera->errorString() : QString());
    // A start or stop still running answers with its failure; once it has
    // answered, the failure goes where the page hears of its camera.
    if (m_operation && !m_operation->hasEnded())
        answer(m_operation, m_fail, false);
    else if (m_session)
        m_session->notify(ResponsePtr(new CCameraRejectResponse(m_fail)));
}

void CCamera::runStart(Task::CTask *task)
{
    const QString done = callback(JSInvoke::startCameraDone);
    const QString fail = callback(JSInvoke::startCameraFail);
    QCamera *camera = currentCamera();
    if (!isUsable(camera)) {
        answer(task, fail, false);
        return;
    }
    if (camera->state() == QCamera::ActiveState) {
        answer(task, done, true);
        return;
    }
    watchState(camera, task, done, QCamera::ActiveState, fail);
    camera->start();
    // A camera that failed inside start() has already answered the call.
    answer(task, done, true);
}

void CCamera::runStop(Task::CTask *task)
{
    const QString done = callback(JSInvoke::stopCameraDone);
    const QString fail = callback(JSInvoke::stopCameraFail);
    QCamera *camera = currentCamera();
    if (!isUsable(camera)) {
        answer(task, fail, false);
        return;
    }
    if (camera->state() != QCamera::ActiveState) {
        answer(task, done, true);
        return;
    }
    // The end state of a stop; the active state would answer a stop when
    // the camera starts again.
    watchState(camera, task, done, QCamera::UnloadedState, fail);
    camera->stop();
    camera->unload();
    answer(task, done, true);
}
