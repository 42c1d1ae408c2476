#pragma once

#include "app/qmlevent.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class ArchiveAccessManager;
class JSInterface;
class QEvent;
class QWebEngineUrlRequestInterceptor;

// The object that the page talks to (web channel id "shellInterface"). Its
// public methods are exactly the page's API: every one of them is callable
// from the page, so anything else stays private or lives in JSInterface.
// Results come back through invokeJSCall only.
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

    // What the page may call; compared by the tests with what it sees.
    static QStringList allowedPageMethods();

    JSInterface *dispatcher() const { return m_jsInterface; }

    Q_INVOKABLE void initialize(const QString &uuid);
    Q_INVOKABLE void finalize(const QString &uuid);
    Q_INVOKABLE void initializePlugin(const QString &uuid, const QString &pluginName,
                                      const QVariantMap &params);
    Q_INVOKABLE void fsItemsInfo(const QString &uuid, const QVariantMap &paths);
    Q_INVOKABLE void fsItemsDelete(const QString &uuid, const QVariantMap &paths);
    Q_INVOKABLE void fsItemsCopy(const QString &uuid, const QVariantMap &paths);
    Q_INVOKABLE void fsItemsList(const QString &uuid, const QVariantMap &paths);
    Q_INVOKABLE void fsContentsRootPath(const QString &uuid);
    Q_INVOKABLE void getOpenFileName(const QString &uuid, const QString &title,
                                     const QString &dir, const QString &filter);
    Q_INVOKABLE void getSaveFileName(const QString &uuid, const QString &title,
                                     const QString &dir, const QString &filter);
    Q_INVOKABLE void openUrlPlatformDef(const QString &uuid, const QString &url);
    Q_INVOKABLE void exitApplication(const QString &uuid, int exitCode);
    Q_INVOKABLE void applicationInfo(const QString &uuid);
    Q_INVOKABLE void setApplicationState(const QString &uuid, const QString &state);
    Q_INVOKABLE void getApplicationState(const QString &uuid);
    // Called by QML on every change of Qt.application.state.
    Q_INVOKABLE void stateChanged(int state);
    // Called by QML when the user closes the window.
    Q_INVOKABLE void onWindowClose();
    Q_INVOKABLE void playMedia(const QString &uuid, const QString &url);
    Q_INVOKABLE void setMediaStatus(const QString &uuid, const QVariantMap &status);
    Q_INVOKABLE void mediaStatus(const QString &uuid);
    Q_INVOKABLE void recordAudio(const QString &uuid, const QString &url);
    Q_INVOKABLE void audioRecordSettings(const QString &uuid);
    Q_INVOKABLE void setAudioRecordSettings(const QString &uuid, const QVariantMap &settings);
    Q_INVOKABLE void audioRecordStatus(const QString &uuid);
    Q_INVOKABLE void setAudioRecordStatus(const QString &uuid, const QVariantMap &status);
    Q_INVOKABLE void dbSql(const QString &uuid, const QString &query, const QVariantList &data);
    Q_INVOKABLE void dbSqlBatch(const QString &uuid, const QString &query,
                                const QVariantList &data);
    Q_INVOKABLE void dbTransaction(const QString &uuid);
    Q_INVOKABLE void dbCommit(const QString &uuid);
    Q_INVOKABLE void dbRollback(const QString &uuid);
    Q_INVOKABLE void saveDBItem(const QString &uuid, const QString &key, const QString &value);
    Q_INVOKABLE void saveDBItems(const QString &uuid, const QVariantMap &items);
    Q_INVOKABLE void loadDBItem(const QString &uuid, const QString &key);
    Q_INVOKABLE void loadDBItems(const QString &uuid, const QStringList &keys);
    Q_INVOKABLE void removeDBItems(const QString &uuid, const QStringList &keys);
    Q_INVOKABLE void getDBKeys(const QString &uuid, const QString &pattern);
    Q_INVOKABLE void downloadFile(const QString &uuid, const QString &url,
                                  const QString &relFilePath, const QString &fileName);
    Q_INVOKABLE void abortDownloadFile(const QString &uuid);
    // host is not used: the answer is the machine's online state.
    Q_INVOKABLE void checkNetworkStatus(const QString &uuid, const QString &host);
    Q_INVOKABLE void startCamera(const QString &uuid);
    Q_INVOKABLE void stopCamera(const QString &uuid);
    Q_INVOKABLE void setCameraText(const QString &uuid, const QString &text);
    Q_INVOKABLE void getUSBDevices(const QString &uuid);
    Q_INVOKABLE void getMountedDevices(const QString &uuid);
    Q_INVOKABLE void archiveUnzip(const QString &uuid, const QString &relFilePath,
                                  const QString &targetPath);
    Q_INVOKABLE void abortArchiveUnzip(const QString &uuid);
    Q_INVOKABLE void zipAddFiles(const QString &uuid, const QString &archivePath,
                                 const QString &mode, const QVariantMap &files);
    Q_INVOKABLE void zipReadFiles(const QString &uuid, const QString &archivePath,
                                  const QVariantMap &filesPaths);
    Q_INVOKABLE void zipCompressDirectory(const QString &uuid, const QString &archivePath,
                                          const QString &dirPath);
    Q_INVOKABLE void zipListContents(const QString &uuid, const QString &archivePath);
    Q_INVOKABLE void zipExtractFiles(const QString &uuid, const QString &archivePath,
                                     const QVariantMap &paths);

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
