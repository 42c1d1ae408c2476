#pragma once

#include "bridge/iplugin.h"
#include "bridge/response.h"

#include <QSharedPointer>
#include <QString>

class CameraManager;
class QCamera;

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

// A second initialisation while a camera exists: {"code": 608}.
class CCameraAlreadyExistsResponse : public IResponse
{
public:
    CCameraAlreadyExistsResponse();
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
// receiving the scans and close requests of its camera as notifications for
// as long as that camera is the current one.
class CCameraSession : public Task::CTask
{
    Q_OBJECT
public:
    void notify(QSharedPointer<IResponse> response) override;
};

// Barcode scanning through the QML camera view. Every camera call runs on
// the main thread, where the camera and the view live: the tasks are plain
// tasks whose work runs when the bridge starts them.
//
// resolve/reject are broadcasts carrying a callback name. A call listens
// only for its own callback names and only until it has been answered, so
// each call is answered once; the scans and close requests go to the one
// initialisation call whose view holds the current camera.
class CCamera : public CIdentifiable<IPlugin>
{
    Q_OBJECT
public:
    // The manager is not owned; the default is the process-wide one.
    explicit CCamera(CameraManager *manager = nullptr);
    ~CCamera() override;

    // Opens the camera view and answers when the view is ready; refused with
    // 608 while a camera exists, and with 608 and a message when no view
    // came up.
    QSharedPointer<Task::ITask> initialize() override;

public slots:
    QSharedPointer<Task::ITask> startCamera();
    QSharedPointer<Task::ITask> stopCamera();
    QSharedPointer<Task::ITask> setCameraText(const QString &text);

signals:
    void resolve(QString status);
    void reject(QString status);
    void barcodeScanned(QString tag);
    void cameraClose();

private:
    // Answers task from the broadcasts naming done or fail.
    void subscribe(Task::CTask *task, const QString &done, const QString &fail);
    void runInitialization(const QSharedPointer<CCameraSession> &session);
    void runStart(Task::CTask *task);
    void runStop(Task::CTask *task);
    void watchErrors(QCamera *camera, const QString &fail);

    CameraManager *m_manager;
    QSharedPointer<CCameraSession> m_session;
};
