#include "plugins/camera/cameramanager.h"

#include "app/singleton.h"

#include <QLibrary>
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

// QZXing is loaded here, not linked: as a dependency of the program its
// loading and static initialisers cost every start about 2.4 ms, and only a
// camera view needs it. It registers its own types.
bool CameraManager::registerDecoderTypes()
{
    if (m_decoderTypes)
        return true;
    QLibrary library(QStringLiteral("qzxing"), 3);
    // QZXing::registerQMLTypes(), a static member function, by its C++ name.
    const auto registerTypes =
        reinterpret_cast<void (*)()>(library.resolve("_ZN6QZXing16registerQMLTypesEv"));
    if (!registerTypes) {
        qCWarning(lcCameraManager).noquote()
            << "the barcode decoder cannot be loaded:" << library.errorString();
        return false;
    }
    registerTypes();
    m_decoderTypes = true;
    return true;
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
