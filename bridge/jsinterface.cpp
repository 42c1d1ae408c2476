#include "bridge/jsinterface.h"

#include "app/pathsmanager.h"
#include "bridge/constants.h"
#include "bridge/response.h"
#include "plugins/application/capplication.h"
#include "plugins/downloader/filedownloader.h"
#include "plugins/network/cnetwork.h"
#include "plugins/network/cnetworkresponses.h"
#include "plugins/storage/cstorage.h"
#include "plugins/hardware/chardware.h"
#include "plugins/archive/carchive.h"
#include "plugins/filesystem/cfilesystem.h"
#include "plugins/zip/czip.h"

#include <kelcab/stagedfile.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QPointer>
#include <QRegularExpression>
#include <QThreadPool>
#include <QUrl>

Q_LOGGING_CATEGORY(lcBridge, "JSInterface")

using Constants::callback;
using Constants::key;
namespace JSInvoke = Constants::JSInvoke;
namespace Other = Constants::Other;
namespace Code = Constants::Code;
namespace Plugins = Constants::Plugins;

namespace {

QVariantMap versionMap()
{
    return QJsonDocument::fromJson(QByteArrayLiteral("{ \"semver\": \"1.8.7\" }"))
        .object()
        .toVariantMap();
}

} // namespace

JSInterface::JSInterface(ArchiveAccessManager *archiveManager, QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<QMLEvent>("QMLEvent");
    qRegisterMetaType<QSharedPointer<IResponse>>();

    m_fileDownloader = new FileDownloader(this);
    connect(m_fileDownloader, &IFileDownloader::onStart, this, &JSInterface::_fileDownloadStart);
    connect(m_fileDownloader, &IFileDownloader::onProgress, this,
            &JSInterface::_fileDownloadProgress);
    connect(m_fileDownloader, &IFileDownloader::onError, this, &JSInterface::_fileDownloadError);
    connect(m_fileDownloader, &IFileDownloader::onAbort, this, &JSInterface::_fileDownloadAbort);
    connect(m_fileDownloader, SIGNAL(onFinish(QString)), this, SLOT(_fileDownloadFinish(QString)));
    connect(m_fileDownloader, SIGNAL(onFinish(QByteArray)), this,
            SLOT(_fileDownloadFinish(QByteArray)));

    m_application.reset(new CApplication);
    connect(this, &JSInterface::applicationEvent, m_application.data(),
            &CApplication::applicationEvent);
    connect(m_application.data(), &CApplication::invokeJSCall, this,
            &JSInterface::onInvokeJSCall);

    m_network.reset(new CNetwork);
    connect(m_network.data(), &CNetwork::statusChange, this, [this](bool isOnline) {
        const CNetworkOnlineResponse response(isOnline);
        send(response.functionName, response.toVariantMap());
    });

    m_hardware.reset(new CHardware);
    m_archive.reset(new CArchive);
    m_zip.reset(new CZip);
    m_fileSystem.reset(new CFileSystem(archiveManager));
    m_storage.reset(new CStorage);

    const QMetaEnum plugins = QMetaEnum::fromType<Plugins::_Plugins>();
    for (int i = 0; i < plugins.keyCount(); ++i)
        m_pluginNames.append(QString::fromLatin1(plugins.key(i)));
}

JSInterface::~JSInterface()
{
    // The services whose pool work can run long (extractions, copies) stop
    // it at its next chunk as they go, so the wait below is short. Copies
    // read the content archive, which the bridge deletes next: the wait
    // stays, and is named if it is ever long.
    m_archive.reset();
    m_zip.reset();
    m_fileSystem.reset();
    QThreadPool *pool = QThreadPool::globalInstance();
    if (!pool->waitForDone(5000)) {
        qCWarning(lcBridge) << pool->activeThreadCount()
                            << "pool tasks still running 5 s after they were asked to stop;"
                               " waiting for them";
        pool->waitForDone();
    }
    m_audioRecorder.reset();
    m_audioPlayer.reset();
    m_storage.reset();
    delete m_fileDownloader;
    m_fileDownloader = nullptr;
    m_camera.reset();
    m_network.reset();
    m_hardware.reset();
    m_application.reset();
    m_pluginNames.clear();
    m_tasks.clear();
}

void JSInterface::send(const QString &name, const QVariantMap &data)
{
    const qint64 size = Answer::size(data);
    if (size <= Answer::kMaxBytes) {
        emit invokeJSCall(name, data);
        return;
    }
    // The channel would drop it in part or whole: the call fails instead,
    // under its failure callback (its only callback when it has none).
    QString failed = name;
    const QString base = QString(name).remove(QRegularExpression(QStringLiteral("(Done|Finish)$")));
    for (const char *suffix : {"Fail", "Error"}) {
        bool known = false;
        QMetaEnum::fromType<JSInvoke::_JSInvoke>().keyToValue(qPrintable(base + suffix), &known);
        if (known)
            failed = base + QLatin1String(suffix);
    }
    const QString message = QStringLiteral("answer too large (over %1 bytes)").arg(Answer::kMaxBytes);
    qCWarning(lcBridge).noquote() << name << message << "about" << size << "bytes";
    QVariantMap refusal{{key(Other::code), Code::AnswerTooLarge}, {key(Other::message), message}};
    if (data.contains(key(Other::uuid)))
        refusal.insert(key(Other::uuid), data.value(key(Other::uuid)));
    emit invokeJSCall(failed, refusal);
}

void JSInterface::sendWithUuid(const QSharedPointer<IResponse> &response, const QString &uuid)
{
    if (!response) {
        qCWarning(lcBridge) << "a task reported no response for call" << uuid;
        return;
    }
    QVariantMap data = response->toVariantMap();
    data.insert(key(Other::uuid), uuid);
    send(response->functionName, data);
}

template <typename Plugin>
Plugin *JSInterface::media(QSharedPointer<Plugin> &slot, Plugin *(IMediaFactory::*create)(),
                           const QString &uuid, int failure)
{
    if (slot)
        return slot.data();
    QString error;
    if (IMediaFactory *factory = MediaModule::factory(&error)) {
        slot.reset((factory->*create)());
        return slot.data();
    }
    send(callback(JSInvoke::_JSInvoke(failure)),
         {{key(Other::uuid), uuid}, {key(Other::code), Code::DeviceUnavailable},
          {key(Other::message), QStringLiteral("Audio and camera are not available: ") + error}});
    return nullptr;
}

void JSInterface::deliver(const QSharedPointer<Task::ITask> &task, const QString &uuid,
                          Deliveries which)
{
    if (!task) {
        qCWarning(lcBridge) << "no task to run for call" << uuid;
        return;
    }
    // Context is this object: a task that outlives the dispatcher then
    // reaches nobody.
    auto generic = [this, uuid, page = m_page](const QSharedPointer<IResponse> &response) {
        if (page == m_page)
            sendWithUuid(response, uuid);
    };
    Task::ITask *t = task.data();
    if (which & Resolved)
        connect(t, &Task::ITask::onResolved, this, generic, Qt::DirectConnection);
    if (which & Rejected)
        connect(t, &Task::ITask::onRejected, this, generic, Qt::DirectConnection);
    if (which & Notified)
        connect(t, &Task::ITask::onNotify, this, generic, Qt::DirectConnection);
    runTask(task);
}

void JSInterface::runTask(const QSharedPointer<Task::ITask> &task)
{
    if (!task)
        return;
    const QString id = task->id();
    if (auto *plain = qobject_cast<Task::CTask *>(task.data()); plain && plain->hasEnded()) {
        qCWarning(lcBridge) << "task" << id << "had ended before it was started";
        return;
    }
    m_tasks.insert(id, task);
    // Made after the delivery connections, so the page hears of the end
    // before the task leaves the registry. The last reference is released
    // from the event loop, never inside the task's own signal.
    auto release = [this, id] {
        const QSharedPointer<Task::ITask> ended = m_tasks.take(id);
        if (ended)
            QMetaObject::invokeMethod(this, [ended] {}, Qt::QueuedConnection);
    };
    connect(task.data(), &Task::ITask::onResolved, this, release, Qt::DirectConnection);
    connect(task.data(), &Task::ITask::onRejected, this, release, Qt::DirectConnection);
    connect(task.data(), &Task::ITask::onCanceled, this, release, Qt::DirectConnection);
    task->start();
}

void JSInterface::onInvokeJSCall(QString functionName, QVariantMap params)
{
    send(functionName, params);
}

void JSInterface::initialize(const QString &uuid)
{
    send(callback(JSInvoke::initializeDone),
         {{key(Other::uuid), uuid}, {key(Other::version), versionMap()}});
}

void JSInterface::finalize(const QString &uuid)
{
    send(callback(JSInvoke::finalizeDone), {{key(Other::uuid), uuid}});
}

void JSInterface::initializePlugin(const QString &uuid, const QString &pluginName,
                                   const QVariantMap &params)
{
    if (!m_pluginNames.contains(pluginName)) {
        send(callback(JSInvoke::initializePluginFail),
             {{key(Other::uuid), uuid}, {key(Other::code), Code::UnknownPlugin}});
        return;
    }
    if (pluginName == Constants::name(Plugins::AudioRecorder)) {
        if (IAudioRecorder *recorder = media(m_audioRecorder, &IMediaFactory::createAudioRecorder,
                                             uuid, JSInvoke::initializePluginFail))
            deliver(recorder->initialize(), uuid, Resolved | Rejected);
        return;
    }
    if (pluginName == Constants::name(Plugins::Storage)) {
        const QString pathKey = key(Other::path);
        const QString path = params.contains(pathKey)
            ? params.value(pathKey).toString()
            : PathsManager::instance()->get(Constants::PathManager::localStoragePath)
                + QStringLiteral("/temp");
        deliver(m_storage->init(path), uuid, Resolved | Rejected);
        return;
    }
    if (pluginName == Constants::name(Plugins::Application)) {
        const QSharedPointer<Task::ITask> task = m_application->initialize();
        connect(task.data(), &Task::ITask::onResolved, this,
                [this, uuid](const QSharedPointer<IResponse> &response) {
                    QVariantMap data = response ? response->toVariantMap() : QVariantMap();
                    data.insert(key(Other::version), versionMap());
                    data.insert(key(Other::uuid), uuid);
                    send(callback(JSInvoke::initializePluginDone), data);
                },
                Qt::DirectConnection);
        runTask(task);
        return;
    }
    if (pluginName == Constants::name(Plugins::Camera)) {
        // The call stays subscribed: scans and close requests reach the page
        // as its notifications.
        if (ICamera *camera = media(m_camera, &IMediaFactory::createCamera, uuid,
                                    JSInvoke::initializePluginFail))
            deliver(camera->initialize(), uuid, Resolved | Rejected | Notified);
        return;
    }
    // The rest have nothing to initialise (the audio player included: its
    // initialisation yields no task, and an empty task is never started).
    send(callback(JSInvoke::initializePluginDone), {{key(Other::uuid), uuid}});
}

void JSInterface::fsItemsInfo(const QString &uuid, const QVariantMap &paths)
{
    deliver(m_fileSystem->itemsInfo(paths), uuid, Resolved);
}

void JSInterface::fsItemsDelete(const QString &uuid, const QVariantMap &paths)
{
    deliver(m_fileSystem->itemsDelete(paths), uuid, Resolved);
}

void JSInterface::fsItemsCopy(const QString &uuid, const QVariantMap &paths)
{
    deliver(m_fileSystem->itemsCopy(paths), uuid, Resolved);
}

void JSInterface::fsItemsList(const QString &uuid, const QVariantMap &paths)
{
    deliver(m_fileSystem->itemsList(paths), uuid, Resolved);
}

void JSInterface::fsContentsRootPath(const QString &uuid)
{
    deliver(m_fileSystem->contentsRootPath(), uuid, Resolved);
}

void JSInterface::getOpenFileName(const QString &uuid, const QString &title,
                                  const QString &dir, const QString &filter)
{
    runFileDialog(Dialog::Open, uuid, title, dir, filter);
}

void JSInterface::getSaveFileName(const QString &uuid, const QString &title,
                                  const QString &dir, const QString &filter)
{
    runFileDialog(Dialog::Save, uuid, title, dir, filter);
}

void JSInterface::runFileDialog(Dialog kind, const QString &uuid, const QString &title,
                                const QString &dir, const QString &filter)
{
    const bool open = kind == Dialog::Open;
    const QString finish = callback(open ? JSInvoke::getOpenFileNameFinish
                                         : JSInvoke::getSaveFileNameFinish);
    const QString error = callback(open ? JSInvoke::getOpenFileNameError
                                        : JSInvoke::getSaveFileNameError);
    const QVariantMap cancelled{{key(Other::uuid), uuid},
                                {key(Other::code), Code::DialogCancelled}};
    if (!qobject_cast<QApplication *>(QCoreApplication::instance())) {
        qCWarning(lcBridge) << "file dialogs need a widget application";
        send(error, cancelled);
        return;
    }

    // The dialog runs a nested event loop; the bridge may be torn down
    // before it returns.
    const QPointer<JSInterface> self(this);
    const quint64 page = m_page;
    emit setWebViewVisibility(false);
    const QString path = open ? QFileDialog::getOpenFileName(nullptr, title, dir, filter)
                              : QFileDialog::getSaveFileName(nullptr, title, dir, filter);
    if (!self)
        return;
    emit setWebViewVisibility(true);
    if (page != m_page)
        return;

    if (path.isEmpty()) {
        send(error, cancelled);
        return;
    }
    const QFileInfo info(path);
    send(finish, {{key(Other::uuid), uuid},
                  {key(Other::filepath), path},
                  {key(Other::filename), info.fileName()},
                  {key(Other::filedir), info.absolutePath()},
                  {key(Other::size), info.exists() ? info.size() : qint64(0)}});
}

void JSInterface::openUrlPlatformDef(const QString &uuid, const QString &url)
{
    const bool ok = QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode));
    send(callback(JSInvoke::openUrlPlatformDefFinish),
         {{key(Other::uuid), uuid}, {key(Other::result), ok}});
}

void JSInterface::exitApplication(const QString &uuid, int exitCode)
{
    Q_UNUSED(uuid)
    QCoreApplication::exit(exitCode);
}

void JSInterface::applicationInfo(const QString &uuid)
{
    deliver(m_application->info(), uuid, Resolved);
}

void JSInterface::setApplicationState(const QString &uuid, const QString &state)
{
    Q_UNUSED(state) // the shell does not let the page change its state
    const QSharedPointer<Task::ITask> task = m_application->setState();
    connect(task.data(), &Task::ITask::onResolved, this,
            [this, uuid](const QSharedPointer<IResponse> &response) {
                if (!response)
                    return;
                QVariantMap data = response->toVariantMap();
                data.insert(key(Other::uuid), uuid);
                data.insert(key(Other::result), false);
                send(response->functionName, data);
            },
            Qt::DirectConnection);
    runTask(task);
}

void JSInterface::getApplicationState(const QString &uuid)
{
    deliver(m_application->getState(), uuid, Resolved);
}

void JSInterface::applicationStateChanged(int code)
{
    const QSharedPointer<Task::ITask> task = m_application->stateChanged(code);
    connect(task.data(), &Task::ITask::onResolved, this,
            [this](const QSharedPointer<IResponse> &response) {
                if (response)
                    send(response->functionName, response->toVariantMap());
            },
            Qt::DirectConnection);
    runTask(task);
}

void JSInterface::onWindowClose()
{
    send(callback(JSInvoke::onApplicationClose), {});
}

void JSInterface::playMedia(const QString &uuid, const QString &url)
{
    if (auto *player = media(m_audioPlayer, &IMediaFactory::createAudioPlayer, uuid,
                             JSInvoke::playMediaError))
        deliver(player->playMedia(uuid, url), uuid, Resolved | Rejected | Notified);
}

void JSInterface::setMediaStatus(const QString &uuid, const QVariantMap &status)
{
    if (auto *player = media(m_audioPlayer, &IMediaFactory::createAudioPlayer, uuid,
                             JSInvoke::setMediaStatusError))
        deliver(player->setMediaStatus(status), uuid, Resolved | Rejected);
}

void JSInterface::mediaStatus(const QString &uuid)
{
    if (auto *player = media(m_audioPlayer, &IMediaFactory::createAudioPlayer, uuid,
                             JSInvoke::mediaStatusDone))
        deliver(player->mediaStatus(), uuid, Resolved);
}

void JSInterface::recordAudio(const QString &uuid, const QString &url)
{
    if (auto *recorder = media(m_audioRecorder, &IMediaFactory::createAudioRecorder, uuid,
                               JSInvoke::recordAudioError))
        deliver(recorder->recordAudio(uuid, url), uuid, Resolved | Rejected | Notified);
}

void JSInterface::audioRecordSettings(const QString &uuid)
{
    if (auto *recorder = media(m_audioRecorder, &IMediaFactory::createAudioRecorder, uuid,
                               JSInvoke::audioRecordSettingsDone))
        deliver(recorder->audioRecordSettings(), uuid, Resolved);
}

void JSInterface::setAudioRecordSettings(const QString &uuid, const QVariantMap &settings)
{
    if (auto *recorder = media(m_audioRecorder, &IMediaFactory::createAudioRecorder, uuid,
                               JSInvoke::setAudioRecordSettingsError))
        deliver(recorder->setAudioRecordSettings(settings), uuid, Resolved | Rejected | Notified);
}

void JSInterface::audioRecordStatus(const QString &uuid)
{
    if (auto *recorder = media(m_audioRecorder, &IMediaFactory::createAudioRecorder, uuid,
                               JSInvoke::audioRecordStatusDone))
        deliver(recorder->audioRecordStatus(), uuid, Resolved);
}

void JSInterface::setAudioRecordStatus(const QString &uuid, const QVariantMap &status)
{
    if (auto *recorder = media(m_audioRecorder, &IMediaFactory::createAudioRecorder, uuid,
                               JSInvoke::setAudioRecordStatusError))
        deliver(recorder->setAudioRecordStatus(status), uuid, Resolved | Rejected);
}

void JSInterface::openVideo(const QString &uuid, const QString &url)
{
    Q_UNUSED(url)
    send(callback(JSInvoke::openVideoFinish), {{key(Other::uuid), uuid}});
}

void JSInterface::dbSql(const QString &uuid, const QString &query, const QVariantList &data)
{
    deliver(m_storage->sql(query, data), uuid, Resolved | Rejected);
}

void JSInterface::dbSqlBatch(const QString &uuid, const QString &query, const QVariantList &data)
{
    deliver(m_storage->sqlBatch(query, data), uuid, Resolved | Rejected);
}

void JSInterface::dbTransaction(const QString &uuid)
{
    deliver(m_storage->transaction(), uuid, Resolved | Rejected);
}

void JSInterface::dbCommit(const QString &uuid)
{
    deliver(m_storage->commit(), uuid, Resolved | Rejected);
}

void JSInterface::dbRollback(const QString &uuid)
{
    deliver(m_storage->rollback(), uuid, Resolved | Rejected);
}

void JSInterface::saveDBItem(const QString &uuid, const QString &key, const QString &value)
{
    deliver(m_storage->setItem(key, value), uuid, Resolved | Rejected);
}

void JSInterface::saveDBItems(const QString &uuid, const QVariantMap &items)
{
    deliver(m_storage->setItems(items), uuid, Resolved | Rejected);
}

void JSInterface::loadDBItem(const QString &uuid, const QString &key)
{
    deliver(m_storage->getItem(key), uuid, Resolved | Rejected);
}

void JSInterface::loadDBItems(const QString &uuid, const QStringList &keys)
{
    deliver(m_storage->getItems(keys), uuid, Resolved | Rejected);
}

void JSInterface::removeDBItems(const QString &uuid, const QStringList &keys)
{
    deliver(m_storage->removeItems(keys), uuid, Resolved | Rejected);
}

void JSInterface::getDBKeys(const QString &uuid, const QString &pattern)
{
    deliver(m_storage->getKeys(pattern), uuid, Resolved | Rejected);
}

void JSInterface::checkNetworkStatus(const QString &uuid)
{
    deliver(m_network->checkStatus(), uuid, Resolved);
}

void JSInterface::ajax(const QString &uuid, const QString &url, const QVariantMap &data)
{
    const QSharedPointer<Task::ITask> task = m_network->ajax(AjaxPayload::fromSettings(url, data));
    // The network responses carry no callback name of their own.
    auto answer = [this, uuid](JSInvoke::_JSInvoke name) {
        return [this, uuid, name](const QSharedPointer<IResponse> &response) {
            QVariantMap data = response ? response->toVariantMap() : QVariantMap();
            data.insert(key(Other::uuid), uuid);
            send(callback(name), data);
        };
    };
    connect(task.data(), &Task::ITask::onResolved, this, answer(JSInvoke::ajaxResponse),
            Qt::DirectConnection);
    connect(task.data(), &Task::ITask::onRejected, this, answer(JSInvoke::ajaxError),
            Qt::DirectConnection);
    runTask(task);
}

void JSInterface::downloadFile(const QString &uuid, const QString &url,
                               const QString &relFilePath, const QString &fileName)
{
    if (m_fileDownloader->isBusy()) {
        send(callback(JSInvoke::fileDownloadError),
             {{key(Other::uuid), uuid},
              {key(Other::file_name), fileName},
              {key(Other::file_path), relFilePath},
              {key(Other::code), Code::DownloadBusy}});
        return;
    }
    // A request still waiting for its first data is replaced; its page is
    // told, instead of waiting for an answer that never comes.
    if (m_fileDownloader->hasRequest())
        _fileDownloadError(QNetworkReply::OperationCanceledError);
    m_download.uuid = uuid;
    m_download.lastProgress = 0;
    m_download.fileName = fileName;
    m_download.filePath = relFilePath;
    m_fileDownloader->setTarget(relFilePath, fileName);
    m_fileDownloader->download(QUrl(url, QUrl::TolerantMode));
}

void JSInterface::abortDownloadFile(const QString &uuid)
{
    m_download.abortUuid = uuid;
    m_fileDownloader->abort();
}

QVariantMap JSInterface::downloadIdentity(bool withUuid) const
{
    QVariantMap data{{key(Other::file_name), m_download.fileName},
                     {key(Other::file_path), m_download.filePath}};
    if (withUuid)
        data.insert(key(Other::uuid), m_download.uuid);
    return data;
}

void JSInterface::_fileDownloadStart(qlonglong total)
{
    QVariantMap data = downloadIdentity();
    data.insert(key(Other::total), total);
    data.insert(key(Other::progress), qlonglong(0));
    send(callback(JSInvoke::fileDownloadStart), data);
}

void JSInterface::_fileDownloadProgress(qlonglong total, qlonglong progress)
{
    // One report per step keeps large downloads from flooding the channel.
    if (progress != total && progress - m_download.lastProgress < 512000)
        return;
    m_download.lastProgress = progress;
    QVariantMap data = downloadIdentity();
    data.insert(key(Other::total), total);
    data.insert(key(Other::progress), progress);
    send(callback(JSInvoke::fileDownloadProgress), data);
}

void JSInterface::_fileDownloadError(QNetworkReply::NetworkError code)
{
    QVariantMap data = downloadIdentity();
    data.insert(key(Other::code), int(code));
    send(callback(JSInvoke::fileDownloadError), data);
}

void JSInterface::_fileDownloadAbort()
{
    QVariantMap data = downloadIdentity(false);
    data.insert(key(Other::uuid), m_download.abortUuid);
    send(callback(JSInvoke::fileDownloadAbort), data);
}

// The downloader has put the file in place.
void JSInterface::_fileDownloadFinish(QString filePath)
{
    QVariantMap data = downloadIdentity();
    data.insert(key(Other::downloaded_path), filePath);
    send(callback(JSInvoke::fileDownloadFinish), data);
}

// Staged beside the target like any download: a failure leaves the old file whole.
void JSInterface::_fileDownloadFinish(QByteArray data)
{
    // A relative folder is taken from the working folder.
    const QDir dir(m_download.filePath);
    const QString target = dir.absoluteFilePath(m_download.fileName);
    kelcab::StagedFile file(target);
    if (!dir.mkpath(QStringLiteral(".")) || !file.open() || file.write(data) != data.size() || !file.commit()) {
        qCWarning(lcBridge).noquote() << "download to" << target << "not stored:" << file.errorString();
        _fileDownloadError(QNetworkReply::NetworkError(Code::DownloadNotStored));
        return;
    }
    QVariantMap out = downloadIdentity();
    out.insert(key(Other::downloaded_path), target);
    send(callback(JSInvoke::fileDownloadFinish), out);
}

void JSInterface::startCamera(const QString &uuid)
{
    if (auto *camera = media(m_camera, &IMediaFactory::createCamera, uuid, JSInvoke::startCameraFail))
        deliver(camera->startCamera(), uuid, Resolved | Rejected);
}

void JSInterface::stopCamera(const QString &uuid)
{
    if (auto *camera = media(m_camera, &IMediaFactory::createCamera, uuid, JSInvoke::stopCameraFail))
        deliver(camera->stopCamera(), uuid, Resolved | Rejected);
}

void JSInterface::setCameraText(const QString &uuid, const QString &text)
{
    if (auto *camera = media(m_camera, &IMediaFactory::createCamera, uuid,
                             JSInvoke::setCameraTextDone))
        deliver(camera->setCameraText(text), uuid, Resolved);
}

void JSInterface::getUSBDevices(const QString &uuid)
{
    deliver(m_hardware->getUSBDevices(), uuid, Resolved | Rejected);
}

void JSInterface::getMountedDevices(const QString &uuid)
{
    send(callback(JSInvoke::getMountedDevicesDone),
         {{key(Other::uuid), uuid}, {key(Other::devices), CHardware::mountedDevices()}});
}

void JSInterface::archiveUnzip(const QString &uuid, const QString &relFilePath,
                               const QString &targetPath)
{
    const QSharedPointer<Task::ITask> task = m_archive->unzip(uuid, relFilePath, targetPath);
    connect(task.data(), &Task::ITask::onCanceled, this,
            [this, uuid, relFilePath, targetPath] {
                send(callback(JSInvoke::archiveUnzipAbort),
                     {{key(Other::file_path), relFilePath},
                      {key(Other::target_path), targetPath},
                      {key(Other::uuid), uuid}});
            },
            Qt::DirectConnection);
    deliver(task, uuid, Resolved | Rejected | Notified);
}

void JSInterface::abortArchiveUnzip(const QString &uuid)
{
    m_archive->abortUnzip(uuid);
}

void JSInterface::zipAddFiles(const QString &uuid, const QString &archivePath,
                              const QString &mode, const QVariantMap &files)
{
    deliver(m_zip->addFiles(archivePath, mode, files), uuid, Resolved | Rejected);
}

void JSInterface::zipReadFiles(const QString &uuid, const QString &archivePath,
                               const QVariantMap &filesPaths)
{
    deliver(m_zip->readFiles(archivePath, filesPaths), uuid, Resolved | Rejected);
}

void JSInterface::zipCompressDirectory(const QString &uuid, const QString &archivePath,
                                       const QString &dirPath)
{
    deliver(m_zip->compressDirectory(archivePath, dirPath), uuid, Resolved | Rejected);
}

void JSInterface::zipListContents(const QString &uuid, const QString &archivePath)
{
    deliver(m_zip->listContents(archivePath), uuid, Resolved | Rejected);
}

void JSInterface::zipExtractFiles(const QString &uuid, const QString &archivePath,
                                  const QVariantMap &paths)
{
    deliver(m_zip->extractFiles(archivePath, paths), uuid, Resolved | Rejected);
}
