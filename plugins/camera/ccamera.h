#pragma once

#include "bridge/mediaplugins.h"
#include "bridge/response.h"

#include <QCamera>
#include <QPointer>
#include <QSharedPointer>
#include <QString>

class CameraManager;

// Plain answers named by their callback ("startCameraDone", ...).
class CCameraResolveResponse : public IResponse
{
public:
    explicit CCameraResolveResponse(const QString &functionName);
};

class CCameraRejectResponse : public IResponse
{
public:
    explicit CCameraRejectResponse(const QString &functionName);
};

// Notifications on the initialisation call: "barcodeScanned" {"tag"} and
// "cameraClose".
class CCameraBarcodeResponse : public IResponse
{
public:
    explicit CCameraBarcodeResponse(const QString &tag);
};

class CCameraCloseResponse : public IResponse
{
public:
    CCameraCloseResponse();
};

// The call that initialised the camera. It is answered once, and then keeps
// receiving the scans, close requests and later failures of its camera as
// notifications until a newer initialisation takes them over.
class CCameraSession : public Task::CTask
{
    Q_OBJECT
public:
    void notify(QSharedPointer<IResponse> response) override;
};

// Barcode scanning through the QML camera view. Every camera call runs on
// the main thread, where the camera and the view live, when the bridge
// starts it, and is answered once through its task. The scans and close
// requests go to the newest initialisation call, and so does a camera
// failure that no running start or stop is left to answer (as
// startCameraFail or stopCameraFail).
class CCamera : public ICamera
{
    Q_OBJECT
public:
    // The manager is not owned; the default is the process-wide one.
    explicit CCamera(CameraManager *manager = nullptr);
    ~CCamera() override;

    // Opens the camera view and answers when the view is ready, with 608 and
    // a message when no view came up. While a view exists it is kept: the
    // newer call takes its notices over (a reloaded page initialises again).
    QSharedPointer<Task::ITask> initialize() override;

    QSharedPointer<Task::ITask> startCamera() override;
    QSharedPointer<Task::ITask> stopCamera() override;
    QSharedPointer<Task::ITask> setCameraText(const QString &text) override;

signals:
    // Told after a call has been answered, with its callback name.
    void resolve(QString status);
    void reject(QString status);
    void barcodeScanned(QString tag);
    void cameraClose();

private:
    // The current view's camera, when there is one.
    QCamera *currentCamera() const;
    // Answers task under name, unless it has been answered already.
    void answer(Task::CTask *task, const QString &name, bool ok);
    void runInitialization(const QSharedPointer<CCameraSession> &session);
    void runStart(Task::CTask *task);
    void runStop(Task::CTask *task);
    void watchState(QCamera *camera, Task::CTask *task, const QString &done,
                    QCamera::State doneState, const QString &fail);
    void onCameraError();

    CameraManager *m_manager;
    QSharedPointer<CCameraSession> m_session;
    QMetaObject::Connection m_errorWatch;
    QMetaObject::Connection m_stateWatch;
    // The latest start or stop, and the failure a camera error stands for.
    QPointer<Task::CTask> m_operation;
    QString m_fail;
};
