#pragma once

#include <QObject>
#include <QPointer>

// The QML side of barcode scanning: Main.qml opens a camera view on
// startInitialization, the view hands its camera and decoder over through
// initialize() and reports initializationDone. The camera plugin drives it.
class CameraManager : public QObject
{
    Q_OBJECT
public:
    static CameraManager *instance();

    QObject *camera() const { return m_camera; }
    QObject *decoder() const { return m_decoder; }

    // Called by each new camera view; replaces the objects of an earlier one.
    Q_INVOKABLE void initialize(QObject *camera, QObject *decoder);

signals:
    void startInitialization();
    void textChanged(QString text);
    void initializationDone();
    void cameraClose();

private:
    template <typename> friend class Singleton;
    CameraManager() = default;

    // Owned by the QML view; cleared when the view goes.
    QPointer<QObject> m_camera;
    QPointer<QObject> m_decoder;
};
