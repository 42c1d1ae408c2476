#pragma once

#include "bridge/mediaplugins.h"
#include "bridge/qmlevent.h"
#include "bridge/task.h"

#include <QNetworkReply>

#include <QMap>
#include <QObject>
#include <QSharedPointer>
#include <QStringList>
#include <QVariantMap>

class ArchiveAccessManager;
class CApplication;
class CFileSystem;
class CStorage;
class CNetwork;
class FileDownloader;
class CHardware;
class CArchive;
class CFileSystem;
class CZip;

// Dispatcher behind DesktopBridge: owns the plugins and the running tasks,
// routes page calls to plugin operations and turns every response into one
// invokeJSCall. GUI thread only. Its call methods are plain members: the
// page's API is DesktopBridge's meta-object alone.
class JSInterface : public QObject
{
    Q_OBJECT
public:
    // Which task signals reach the page through generic delivery.
    enum Delivery { Resolved = 0x1, Rejected = 0x2, Notified = 0x4 };
    Q_DECLARE_FLAGS(Deliveries, Delivery)

    // The archive is not owned; it must outlive this object.
    explicit JSInterface(ArchiveAccessManager *archiveManager, QObject *parent = nullptr);
    // Asks long pool work to stop, then waits for the global thread pool:
    // pool functions use the plugins and the archive. So a pool function
    // must never wait for the GUI thread.
    ~JSInterface() override;

    QSharedPointer<CApplication> application() const { return m_application; }
    QSharedPointer<CNetwork> network() const { return m_network; }
    // Empty until a page call used the camera.
    QSharedPointer<ICamera> camera() const { return m_camera; }

    // The plugin names that initializePlugin accepts, in enumeration order.
    QStringList pluginNames() const { return m_pluginNames; }

    int runningTaskCount() const { return m_tasks.size(); }
    bool isRegistered(const QString &taskId) const { return m_tasks.contains(taskId); }

    // A new document replaced the page (dev mode reloads it): answers to
    // calls of the old one are dropped from now on, tasks keep running.
    void pageReplaced() { ++m_page; }

    // The route of every plugin call: connects the chosen signals of task to
    // generic delivery under uuid, then registers and starts it.
    void deliver(const QSharedPointer<Task::ITask> &task, const QString &uuid,
                 Deliveries which);

    void initialize(const QString &uuid);
    void finalize(const QString &uuid);
    void initializePlugin(const QString &uuid, const QString &pluginName,
                          const QVariantMap &params);
    void fsItemsInfo(const QString &uuid, const QVariantMap &paths);
    void fsItemsDelete(const QString &uuid, const QVariantMap &paths);
    void fsItemsCopy(const QString &uuid, const QVariantMap &paths);
    void fsItemsList(const QString &uuid, const QVariantMap &paths);
    void fsContentsRootPath(const QString &uuid);
    // Modal and synchronous: the event loop runs inside while the dialog is
    // open, so page calls may arrive meanwhile.
    void getOpenFileName(const QString &uuid, const QString &title,
                         const QString &dir, const QString &filter);
    void getSaveFileName(const QString &uuid, const QString &title,
                         const QString &dir, const QString &filter);
    void openUrlPlatformDef(const QString &uuid, const QString &url);
    void exitApplication(const QString &uuid, int exitCode);
    void applicationInfo(const QString &uuid);
    void setApplicationState(const QString &uuid, const QString &state);
    void getApplicationState(const QString &uuid);
    void applicationStateChanged(int code);
    void onWindowClose();
    void playMedia(const QString &uuid, const QString &url);
    void setMediaStatus(const QString &uuid, const QVariantMap &status);
    void mediaStatus(const QString &uuid);
    void recordAudio(const QString &uuid, const QString &url);
    void audioRecordSettings(const QString &uuid);
    void setAudioRecordSettings(const QString &uuid, const QVariantMap &settings);
    void audioRecordStatus(const QString &uuid);
    void setAudioRecordStatus(const QString &uuid, const QVariantMap &status);
    // Not offered to the page: answers openVideoFinish at once and plays
    // nothing.
    void openVideo(const QString &uuid, const QString &url);
    void dbSql(const QString &uuid, const QString &query, const QVariantList &data);
    void dbSqlBatch(const QString &uuid, const QString &query, const QVariantList &data);
    void dbTransaction(const QString &uuid);
    void dbCommit(const QString &uuid);
    void dbRollback(const QString &uuid);
    void saveDBItem(const QString &uuid, const QString &key, const QString &value);
    void saveDBItems(const QString &uuid, const QVariantMap &items);
    void loadDBItem(const QString &uuid, const QString &key);
    void loadDBItems(const QString &uuid, const QStringList &keys);
    void removeDBItems(const QString &uuid, const QStringList &keys);
    void getDBKeys(const QString &uuid, const QString &pattern);
    void downloadFile(const QString &uuid, const QString &url,
                      const QString &relFilePath, const QString &fileName);
    void abortDownloadFile(const QString &uuid);
    void checkNetworkStatus(const QString &uuid);
    // Not offered to the page: answers ajaxResponse or ajaxError.
    void ajax(const QString &uuid, const QString &url, const QVariantMap &data);
    void startCamera(const QString &uuid);
    void stopCamera(const QString &uuid);
    void setCameraText(const QString &uuid, const QString &text);
    void getUSBDevices(const QString &uuid);
    void getMountedDevices(const QString &uuid);
    void archiveUnzip(const QString &uuid, const QString &relFilePath, const QString &targetPath);
    void abortArchiveUnzip(const QString &uuid);
    void zipAddFiles(const QString &uuid, const QString &archivePath,
                     const QString &mode, const QVariantMap &files);
    void zipReadFiles(const QString &uuid, const QString &archivePath,
                      const QVariantMap &filesPaths);
    void zipCompressDirectory(const QString &uuid, const QString &archivePath,
                              const QString &dirPath);
    void zipListContents(const QString &uuid, const QString &archivePath);
    void zipExtractFiles(const QString &uuid, const QString &archivePath, const QVariantMap &paths);

signals:
    void closeWrapper();
    void invokeJSCall(QString functionName, QVariantMap params);
    void setWebViewVisibility(bool visible);
    void applicationEvent(QMLEvent event);

public slots:
    void onInvokeJSCall(QString functionName, QVariantMap params);

private slots:
    void _fileDownloadStart(qlonglong total);
    void _fileDownloadProgress(qlonglong total, qlonglong progress);
    void _fileDownloadFinish(QByteArray data);
    void _fileDownloadFinish(QString filePath);
    void _fileDownloadError(QNetworkReply::NetworkError code);
    void _fileDownloadAbort();

private:
    // The page's names of the running download.
    QVariantMap downloadIdentity(bool withUuid = true) const;
    enum class Dialog { Open, Save };
    void runFileDialog(Dialog kind, const QString &uuid, const QString &title,
                       const QString &dir, const QString &filter);
    void runTask(const QSharedPointer<Task::ITask> &task);
    void send(const QString &name, const QVariantMap &data);
    void sendWithUuid(const QSharedPointer<IResponse> &response, const QString &uuid);
    // The media plugin in slot, made by the media module on its first call.
    // Null when the module cannot be loaded: the call has then been answered
    // under failure (its failure callback, or its only one) with code 608.
    template <typename Plugin>
    Plugin *media(QSharedPointer<Plugin> &slot, Plugin *(IMediaFactory::*create)(),
                  const QString &uuid, int failure);

    QMap<QString, QSharedPointer<Task::ITask>> m_tasks;
    quint64 m_page = 0;
    QStringList m_pluginNames;
    QSharedPointer<CApplication> m_application;
    QSharedPointer<CArchive> m_archive;
    QSharedPointer<CZip> m_zip;
    QSharedPointer<CFileSystem> m_fileSystem;
    // The media plugins, made on their first call (see media()).
    QSharedPointer<IAudioPlayer> m_audioPlayer;
    QSharedPointer<IAudioRecorder> m_audioRecorder;
    QSharedPointer<CStorage> m_storage;
    FileDownloader *m_fileDownloader = nullptr;
    // The page's names of the running download, and of the last abort call.
    struct Download
    {
        QString uuid, fileName, filePath, abortUuid;
        qlonglong lastProgress = 0;
    } m_download;
    QSharedPointer<CNetwork> m_network;
    QSharedPointer<CHardware> m_hardware;
    QSharedPointer<ICamera> m_camera;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(JSInterface::Deliveries)
