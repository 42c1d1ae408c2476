#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

// The QML side of barcode scanning: Main.qml opens a camera view on
// startInitialization, the view hands its camera and decoder over through
// initialize() and reports initializationDone. The camera plugin drives it.
// Main thread only: the camera and the view live there. It belongs to the
// program, not to the media module: the window binds to it from the start.
class CameraManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)
public:
    static CameraManager *instance();

    // The QCamera of the current view, as a QObject (Qt Multimedia is the
    // media module's); empty before a view handed one over and again once
    // that camera is destroyed.
    QObject *camera() const { return m_camera; }
    QObject *decoder() const { return m_decoder; }

    QString text() const { return m_text; }
    // Always notifies, so a view shows the text even when it did not change.
    void setText(const QString &text);

    // Called by each new camera view with its QML Camera and its filter's
    // QZXing decoder; replaces the objects of an earlier view.
    Q_INVOKABLE void initialize(QObject *qmlCamera, QObject *qzxingFilter);

signals:
    void barcodeScanned(QString tag);
    void cameraClose();
    void textChanged(QString text);
    void startInitialization();
    void initializationDone();

private:
    template <typename> friend class Singleton;
    CameraManager() = default;

    // Owned by the QML view; cleared when the view goes.
    QPointer<QObject> m_camera;
    QPointer<QObject> m_decoder;
    QString m_text;
};
