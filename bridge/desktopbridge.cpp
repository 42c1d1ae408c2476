#include "bridge/desktopbridge.h"

#include "app/pathsmanager.h"
#include "app/settingsmanager.h"
#include "bridge/jsinterface.h"
#include "content/archiveaccessmanager.h"
#include "content/interceptorfactory.h"
#include "content/requestinterceptor.h"
#include "content/urlscheme.h"

#include <QEvent>
#include <QLoggingCategory>
#include <QQuickWebEngineProfile>
#include <QWebEngineUrlRequestInterceptor>

Q_LOGGING_CATEGORY(lcDesktopBridge, "DesktopBridge")

DesktopBridge::DesktopBridge(QObject *parent) : QObject(parent)
{
    registerKelzipScheme();
    m_archive = createArchiveManager(SettingsManager::instance()->archiveFilePath());
    setUp();

    QQuickWebEngineProfile *profile = QQuickWebEngineProfile::defaultProfile();
    const QString storage = PathsManager::instance()->get(Constants::PathManager::localStoragePath);
    profile->setCachePath(storage);
    profile->setPersistentStoragePath(storage);

    m_interceptor = createRequestInterceptor(m_archive, m_jsInterface);
    profile->setUrlRequestInterceptor(m_interceptor);
    startInArchive();
}

// The start page is a file URL that the interceptor moves into the archive.
// Asking for the archive URL at once spares the web engine that cross-scheme
// redirect, which costs a renderer switch (about a sixth of the start-up);
// the page ends at the same URL either way. The web view reads the start URL
// after this constructor, since it is created after the bridge.
void DesktopBridge::startInArchive()
{
    if (!qobject_cast<RequestInterceptor *>(m_interceptor))
        return;
    PathsManager *paths = PathsManager::instance();
    const QString key = Constants::name(Constants::PathManager::wrapperStartupPath);
    const QUrl start(paths->get(key));
    const std::optional<QUrl> target =
        RequestInterceptor::redirectFor(QByteArrayLiteral("GET"), start, m_archive);
    if (target)
        paths->set(key, target->toString());
}

DesktopBridge::DesktopBridge(ArchiveAccessManager *archive, QObject *parent)
    : QObject(parent), m_archive(archive)
{
    setUp();
}

void DesktopBridge::setUp()
{
    m_jsInterface = new JSInterface(m_archive, this);
    connect(m_jsInterface, &JSInterface::invokeJSCall, this, &DesktopBridge::onInvokeJS);
    connect(this, &DesktopBridge::applicationEvent, m_jsInterface, &JSInterface::applicationEvent);
}

// Everything that reads the archive goes before the archive: the web
// engine's I/O thread through the interceptor, pool tasks through the
// plugins.
DesktopBridge::~DesktopBridge()
{
    if (m_interceptor) {
        QQuickWebEngineProfile *profile = QQuickWebEngineProfile::defaultProfile();
        profile->setUrlRequestInterceptor(nullptr);
        delete m_interceptor;
        m_interceptor = nullptr;
    }
    delete m_jsInterface;
    m_jsInterface = nullptr;
    delete m_archive;
    m_archive = nullptr;
}

QStringList DesktopBridge::allowedPageMethods()
{
    return JSInterface::pageMethods();
}

bool DesktopBridge::event(QEvent *event)
{
    if (event->type() == QEvent::DeferredDelete) {
        qCWarning(lcDesktopBridge) << "refused to delete the bridge through deleteLater";
        return true;
    }
    return QObject::event(event);
}

void DesktopBridge::onInvokeJS(QString functionName, QVariantMap params)
{
    emit invokeJSCall(functionName, params);
}

void DesktopBridge::initialize(const QString &uuid)
{
    m_jsInterface->initialize(uuid);
}

void DesktopBridge::finalize(const QString &uuid)
{
    m_jsInterface->finalize(uuid);
}

void DesktopBridge::initializePlugin(const QString &uuid, const QString &pluginName,
                                     const QVariantMap &params)
{
    m_jsInterface->initializePlugin(uuid, pluginName, params);
}

void DesktopBridge::fsItemsInfo(const QString &uuid, const QVariantMap &paths)
{
    m_jsInterface->fsItemsInfo(uuid, paths);
}

void DesktopBridge::fsItemsDelete(const QString &uuid, const QVariantMap &paths)
{
    m_jsInterface->fsItemsDelete(uuid, paths);
}

void DesktopBridge::fsItemsCopy(const QString &uuid, const QVariantMap &paths)
{
    m_jsInterface->fsItemsCopy(uuid, paths);
}

void DesktopBridge::fsItemsList(const QString &uuid, const QVariantMap &paths)
{
    m_jsInterface->fsItemsList(uuid, paths);
}

void DesktopBridge::fsContentsRootPath(const QString &uuid)
{
    m_jsInterface->fsContentsRootPath(uuid);
}

void DesktopBridge::getOpenFileName(const QString &uuid, const QString &title,
                                    const QString &dir, const QString &filter)
{
    m_jsInterface->getOpenFileName(uuid, title, dir, filter);
}

void DesktopBridge::getSaveFileName(const QString &uuid, const QString &title,
                                    const QString &dir, const QString &filter)
{
    m_jsInterface->getSaveFileName(uuid, title, dir, filter);
}

void DesktopBridge::openUrlPlatformDef(const QString &uuid, const QString &url)
{
    m_jsInterface->openUrlPlatformDef(uuid, url);
}

void DesktopBridge::exitApplication(const QString &uuid, int exitCode)
{
    m_jsInterface->exitApplication(uuid, exitCode);
}

void DesktopBridge::applicationInfo(const QString &uuid)
{
    m_jsInterface->applicationInfo(uuid);
}

void DesktopBridge::setApplicationState(const QString &uuid, const QString &state)
{
    m_jsInterface->setApplicationState(uuid, state);
}

void DesktopBridge::getApplicationState(const QString &uuid)
{
    m_jsInterface->getApplicationState(uuid);
}

void DesktopBridge::stateChanged(int state)
{
    m_jsInterface->applicationStateChanged(state);
}

void DesktopBridge::onWindowClose()
{
    m_jsInterface->onWindowClose();
}

void DesktopBridge::playMedia(const QString &uuid, const QString &url)
{
    m_jsInterface->playMedia(uuid, url);
}

void DesktopBridge::setMediaStatus(const QString &uuid, const QVariantMap &status)
{
    m_jsInterface->setMediaStatus(uuid, status);
}

void DesktopBridge::mediaStatus(const QString &uuid)
{
    m_jsInterface->mediaStatus(uuid);
}

void DesktopBridge::recordAudio(const QString &uuid, const QString &url)
{
    m_jsInterface->recordAudio(uuid, url);
}

void DesktopBridge::audioRecordSettings(const QString &uuid)
{
    m_jsInterface->audioRecordSettings(uuid);
}

void DesktopBridge::setAudioRecordSettings(const QString &uuid, const QVariantMap &settings)
{
    m_jsInterface->setAudioRecordSettings(uuid, settings);
}

void DesktopBridge::audioRecordStatus(const QString &uuid)
{
    m_jsInterface->audioRecordStatus(uuid);
}

void DesktopBridge::setAudioRecordStatus(const QString &uuid, const QVariantMap &status)
{
    m_jsInterface->setAudioRecordStatus(uuid, status);
}

void DesktopBridge::dbSql(const QString &uuid, const QString &query, const QVariantList &data)
{
    m_jsInterface->dbSql(uuid, query, data);
}

void DesktopBridge::dbSqlBatch(const QString &uuid, const QString &query,
                               const QVariantList &data)
{
    m_jsInterface->dbSqlBatch(uuid, query, data);
}

void DesktopBridge::dbTransaction(const QString &uuid)
{
    m_jsInterface->dbTransaction(uuid);
}

void DesktopBridge::dbCommit(const QString &uuid)
{
    m_jsInterface->dbCommit(uuid);
}

void DesktopBridge::dbRollback(const QString &uuid)
{
    m_jsInterface->dbRollback(uuid);
}

void DesktopBridge::saveDBItem(const QString &uuid, const QString &key, const QString &value)
{
    m_jsInterface->saveDBItem(uuid, key, value);
}

void DesktopBridge::saveDBItems(const QString &uuid, const QVariantMap &items)
{
    m_jsInterface->saveDBItems(uuid, items);
}

void DesktopBridge::loadDBItem(const QString &uuid, const QString &key)
{
    m_jsInterface->loadDBItem(uuid, key);
}

void DesktopBridge::loadDBItems(const QString &uuid, const QStringList &keys)
{
    m_jsInterface->loadDBItems(uuid, keys);
}

void DesktopBridge::removeDBItems(const QString &uuid, const QStringList &keys)
{
    m_jsInterface->removeDBItems(uuid, keys);
}

void DesktopBridge::getDBKeys(const QString &uuid, const QString &pattern)
{
    m_jsInterface->getDBKeys(uuid, pattern);
}

void DesktopBridge::downloadFile(const QString &uuid, const QString &url,
                                 const QString &relFilePath, const QString &fileName)
{
    m_jsInterface->downloadFile(uuid, url, relFilePath, fileName);
}

void DesktopBridge::abortDownloadFile(const QString &uuid)
{
    m_jsInterface->abortDownloadFile(uuid);
}

void DesktopBridge::checkNetworkStatus(const QString &uuid, const QString &host)
{
    Q_UNUSED(host)
    m_jsInterface->checkNetworkStatus(uuid);
}

void DesktopBridge::startCamera(const QString &uuid)
{
    m_jsInterface->startCamera(uuid);
}

void DesktopBridge::stopCamera(const QString &uuid)
{
    m_jsInterface->stopCamera(uuid);
}

void DesktopBridge::setCameraText(const QString &uuid, const QString &text)
{
    m_jsInterface->setCameraText(uuid, text);
}

void DesktopBridge::getUSBDevices(const QString &uuid)
{
    m_jsInterface->getUSBDevices(uuid);
}

void DesktopBridge::getMountedDevices(const QString &uuid)
{
    m_jsInterface->getMountedDevices(uuid);
}

void DesktopBridge::archiveUnzip(const QString &uuid, const QString &relFilePath,
                                 const QString &targetPath)
{
    m_jsInterface->archiveUnzip(uuid, relFilePath, targetPath);
}

void DesktopBridge::abortArchiveUnzip(const QString &uuid)
{
    m_jsInterface->abortArchiveUnzip(uuid);
}

void DesktopBridge::zipAddFiles(const QString &uuid, const QString &archivePath,
                                const QString &mode, const QVariantMap &files)
{
    m_jsInterface->zipAddFiles(uuid, archivePath, mode, files);
}

void DesktopBridge::zipReadFiles(const QString &uuid, const QString &archivePath,
                                 const QVariantMap &filesPaths)
{
    m_jsInterface->zipReadFiles(uuid, archivePath, filesPaths);
}

void DesktopBridge::zipCompressDirectory(const QString &uuid, const QString &archivePath,
                                         const QString &dirPath)
{
    m_jsInterface->zipCompressDirectory(uuid, archivePath, dirPath);
}

void DesktopBridge::zipListContents(const QString &uuid, const QString &archivePath)
{
    m_jsInterface->zipListContents(uuid, archivePath);
}

void DesktopBridge::zipExtractFiles(const QString &uuid, const QString &archivePath,
                                    const QVariantMap &paths)
{
    m_jsInterface->zipExtractFiles(uuid, archivePath, paths);
}
