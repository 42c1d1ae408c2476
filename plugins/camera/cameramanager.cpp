#include "plugins/camera/cameramanager.h"

#include "app/singleton.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcCameraManager, "CameraManager")

CameraManager *CameraManager::instance()
{
    return Singleton<CameraManager>::instance();
}

void CameraManager::setText(const QString &text)
{
    m_text = text;
    emit textChanged(m_text);
}

void CameraManager::initialize(QObject *qmlCamera, QObject *qzxingFilter)
{
    // The QML Camera is a wrapper; the QCamera behind it is its media object.
    QObject *media = qmlCamera ? qmlCamera->property("mediaObject").value<QObject *>() : nullptr;
    m_camera = media && media->inherits("QCamera") ? media : nullptr;
    if (!m_camera)
        qCWarning(lcCameraManager) << "the camera view handed over no camera";

    if (m_decoder == qzxingFilter)
        return;
    // An earlier view's decoder stops reporting: one view scans at a time.
    if (m_decoder)
        disconnect(m_decoder, nullptr, this, nullptr);
    m_decoder = qzxingFilter;
    if (m_decoder
        && !connect(m_decoder, SIGNAL(tagFound(QString)), this, SIGNAL(barcodeScanned(QString))))
        qCWarning(lcCameraManager) << "the decoder has no tagFound signal";
}
