#include "plugins/camera/cameramanager.h"

#include "app/singleton.h"

CameraManager *CameraManager::instance()
{
    return Singleton<CameraManager>::instance();
}

void CameraManager::initialize(QObject *camera, QObject *decoder)
{
    m_camera = camera;
    m_decoder = decoder;
}
