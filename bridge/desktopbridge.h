#pragma once

#include "bridge/qmlevent.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantMap>

class ArchiveAccessManager;
class JSInterface;
class QEvent;
class QWebEngineUrlRequestInterceptor;

// The object that the page talks to (web channel id "shellInterface"). Its
// public methods are exactly the page's API: every one of them is callable
// from the page, so anything else stays private or lives in JSInterface.
// Results come back through invokeJSCall only.
//
// The page's arguments arrive unconverted (QVariant): the channel would turn
// an argument of the wrong kind into an empty value, or drop the call, and
// the page would get a wrong answer or none. Each method checks its
// arguments and refuses a wrong one under its failure callback (code 606).
class DesktopBridge : public QObject
{
    Q_OBJECT
public:
    // The QML element: registers the content scheme, opens the configured
    // content archive and installs the request interceptor on the default
    // web profile.
    explicit DesktopBridge(QObject *parent = nullptr);
    // For tests: uses archive (taking ownership) and touches no web profile.
    DesktopBridge(ArchiveAccessManager *archive, QObject *parent);
    ~DesktopBridge() override;

    // The page's API, read from this class's meta-object as the web channel
    // publishes it: every public method and slot, by name, with its number
    // of arguments (QObject's deleteLater aside, which event() refuses).
    static QMap<QString, int> pageMethods();

    JSInterface *dispatcher() const { return m_jsInterface; }

    Q_INVOKABLE void initialize(const QVariant &uuid);
    Q_INVOKABLE void finalize(const QVariant &uuid);
    Q_INVOKABLE void initializePlugin(const QVariant &uuid, const QVariant &pluginName,
                                      const QVariant &params);
    Q_INVOKABLE void fsItemsInfo(const QVariant &uuid, const QVariant &paths);
    Q_INVOKABLE void fsItemsDelete(const QVariant &uuid, const QVariant &paths);
    Q_INVOKABLE void fsItemsCopy(const QVariant &uuid, const QVariant &paths);
    Q_INVOKABLE void fsItemsList(const QVariant &uuid, const QVariant &paths);
    Q_INVOKABLE void fsContentsRootPath(const QVariant &uuid);
    Q_INVOKABLE void getOpenFileName(const QVariant &uuid, const QVariant &title,
                                     const QVariant &dir, const QVariant &filter);
    Q_INVOKABLE void getSaveFileName(const QVariant &uuid, const QVariant &title,
                                     const QVariant &dir, const QVariant &filter);
    Q_INVOKABLE void openUrlPlatformDef(const QVariant &uuid, const QVariant &url);
    Q_INVOKABLE void exitApplication(const QVariant &uuid, const QVariant &exitCode);
    Q_INVOKABLE void applicationInfo(const QVariant &uuid);
    Q_INVOKABLE void setApplicationState(const QVariant &uuid, const QVariant &state);
    Q_INVOKABLE void getApplicationState(const QVariant &uuid);
    // Called by QML on every change of Qt.application.state.
    Q_INVOKABLE void stateChanged(int state);
    // Called by QML when the user closes the window.
    Q_INVOKABLE void onWindowClose();
    Q_INVOKABLE void playMedia(const QVariant &uuid, const QVariant &url);
    Q_INVOKABLE void setMediaStatus(const QVariant &uuid, const QVariant &status);
    Q_INVOKABLE void mediaStatus(const QVariant &uuid);
    Q_INVOKABLE void recordAudio(const QVariant &uuid, const QVariant &url);
    Q_INVOKABLE void audioRecordSettings(const QVariant &uuid);
    Q_INVOKABLE void setAudioRecordSettings(const QVariant &uuid, const QVariant &settings);
    Q_INVOKABLE void audioRecordStatus(const QVariant &uuid);
    Q_INVOKABLE void setAudioRecordStatus(const QVariant &uuid, const QVariant &status);
    Q_INVOKABLE void dbSql(const QVariant &uuid, const QVariant &query, const QVariant &data);
    Q_INVOKABLE void dbSqlBatch(const QVariant &uuid, const QVariant &query, const QVariant &data);
    Q_INVOKABLE void dbTransaction(const QVariant &uuid);
    Q_INVOKABLE void dbCommit(const QVariant &uuid);
    Q_INVOKABLE void dbRollback(const QVariant &uuid);
    Q_INVOKABLE void saveDBItem(const QVariant &uuid, const QVariant &key, const QVariant &value);
    Q_INVOKABLE void saveDBItems(const QVariant &uuid, const QVariant &items);
    Q_INVOKABLE void loadDBItem(const QVariant &uuid, const QVariant &key);
    Q_INVOKABLE void loadDBItems(const QVariant &uuid, const QVariant &keys);
    Q_INVOKABLE void removeDBItems(const QVariant &uuid, const QVariant &keys);
    Q_INVOKABLE void getDBKeys(const QVariant &uuid, const QVariant &pattern);
    Q_INVOKABLE void downloadFile(const QVariant &uuid, const QVariant &url,
                                  const QVariant &relFilePath, const QVariant &fileName);
    Q_INVOKABLE void abortDownloadFile(const QVariant &uuid);
    // host is not used: the answer is the machine's online state.
    Q_INVOKABLE void checkNetworkStatus(const QVariant &uuid, const QVariant &host);
    Q_INVOKABLE void startCamera(const QVariant &uuid);
    Q_INVOKABLE void stopCamera(const QVariant &uuid);
    Q_INVOKABLE void setCameraText(const QVariant &uuid, const QVariant &text);
    Q_INVOKABLE void getUSBDevices(const QVariant &uuid);
    Q_INVOKABLE void getMountedDevices(const QVariant &uuid);
    Q_INVOKABLE void archiveUnzip(const QVariant &uuid, const QVariant &zipPath,
                                  const QVariant &targetPath);
    Q_INVOKABLE void abortArchiveUnzip(const QVariant &uuid);
    Q_INVOKABLE void zipAddFiles(const QVariant &uuid, const QVariant &archivePath,
                                 const QVariant &mode, const QVariant &files);
    Q_INVOKABLE void zipReadFiles(const QVariant &uuid, const QVariant &archivePath,
                                  const QVariant &filesPaths);
    Q_INVOKABLE void zipCompressDirectory(const QVariant &uuid, const QVariant &archivePath,
                                          const QVariant &dirPath);
    Q_INVOKABLE void zipListContents(const QVariant &uuid, const QVariant &archivePath);
    Q_INVOKABLE void zipExtractFiles(const QVariant &uuid, const QVariant &archivePath,
                                     const QVariant &paths);

signals:
    void invokeJSCall(QString name, QVariantMap data);
    // Raised by QML for every event of the application object.
    void applicationEvent(QMLEvent event);

protected:
    // The web channel offers QObject's deleteLater to the page. Qt refuses
    // it for published objects today; this refuses it whatever Qt does.
    bool event(QEvent *event) override;

private slots:
    void onInvokeJS(QString functionName, QVariantMap params);

private:
    void startInArchive();
    void setUp();

    ArchiveAccessManager *m_archive = nullptr;
    JSInterface *m_jsInterface = nullptr;
    QWebEngineUrlRequestInterceptor *m_interceptor = nullptr;
};
