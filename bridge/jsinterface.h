#pragma once

#include "app/qmlevent.h"
#include "bridge/task.h"

#include <QMap>
#include <QObject>
#include <QSharedPointer>
#include <QStringList>
#include <QVariantMap>

class ArchiveAccessManager;
class CApplication;
class CFileSystem;

// Dispatcher behind DesktopBridge: owns the plugins and the running tasks,
// routes page calls to plugin operations and turns every response into one
// invokeJSCall. GUI thread only.
class JSInterface : public QObject
{
    Q_OBJECT
public:
    // Which task signals reach the page through generic delivery.
    enum Delivery { Resolved = 0x1, Rejected = 0x2, Notified = 0x4 };
    Q_DECLARE_FLAGS(Deliveries, Delivery)

    // The archive is not owned; it must outlive this object.
    explicit JSInterface(ArchiveAccessManager *archiveManager, QObject *parent = nullptr);
    // Waits for work still running on the global thread pool: pool functions
    // use the plugins and the archive. So a pool function must never wait
    // for the GUI thread.
    ~JSInterface() override;

    // Inline so that content code can reach the copy routine without linking
    // the bridge.
    QSharedPointer<CFileSystem> fileSystem() const { return m_fileSystem; }
    QSharedPointer<CApplication> application() const { return m_application; }

    // The plugin names that initializePlugin accepts, in enumeration order.
    QStringList pluginNames() const { return m_pluginNames; }

    // The methods that the page may call on the web-channel object: one per
    // service that this build provides.
    static QStringList pageMethods();

    int runningTaskCount() const { return m_tasks.size(); }
    bool isRegistered(const QString &taskId) const { return m_tasks.contains(taskId); }

    // A new document replaced the page (dev mode reloads it): answers to
    // calls of the old one are dropped from now on, tasks keep running.
    void pageReplaced() { ++m_page; }

    // The route of every plugin call: connects the chosen signals of task to
    // generic delivery under uuid, then registers and starts it.
    void deliver(const QSharedPointer<Task::ITask> &task, const QString &uuid,
                 Deliveries which);

    Q_INVOKABLE void initialize(const QString &uuid);
    Q_INVOKABLE void finalize(const QString &uuid);
    Q_INVOKABLE void initializePlugin(const QString &uuid, const QString &pluginName,
                                      const QVariantMap &params);
    Q_INVOKABLE void fsItemsInfo(const QString &uuid, const QVariantMap &paths);
    Q_INVOKABLE void fsItemsDelete(const QString &uuid, const QVariantMap &paths);
    Q_INVOKABLE void fsItemsCopy(const QString &uuid, const QVariantMap &paths);
    Q_INVOKABLE void fsItemsList(const QString &uuid, const QVariantMap &paths);
    Q_INVOKABLE void fsContentsRootPath(const QString &uuid);
    // Modal and synchronous: the event loop runs inside while the dialog is
    // open, so page calls may arrive meanwhile.
    Q_INVOKABLE void getOpenFileName(const QString &uuid, const QString &title,
                                     const QString &dir, const QString &filter);
    Q_INVOKABLE void getSaveFileName(const QString &uuid, const QString &title,
                                     const QString &dir, const QString &filter);
    Q_INVOKABLE void openUrlPlatformDef(const QString &uuid, const QString &url);
    Q_INVOKABLE void exitApplication(const QString &uuid, int exitCode);
    Q_INVOKABLE void applicationInfo(const QString &uuid);
    Q_INVOKABLE void setApplicationState(const QString &uuid, const QString &state);
    Q_INVOKABLE void getApplicationState(const QString &uuid);
    Q_INVOKABLE void applicationStateChanged(int code);
    Q_INVOKABLE void onWindowClose();

signals:
    void closeWrapper();
    void invokeJSCall(QString functionName, QVariantMap params);
    void setWebViewVisibility(bool visible);
    void applicationEvent(QMLEvent event);

public slots:
    void onInvokeJSCall(QString functionName, QVariantMap params);

private:
    enum class Dialog { Open, Save };
    void runFileDialog(Dialog kind, const QString &uuid, const QString &title,
                       const QString &dir, const QString &filter);
    void runTask(const QSharedPointer<Task::ITask> &task);
    void send(const QString &name, const QVariantMap &data);
    void sendWithUuid(const QSharedPointer<IResponse> &response, const QString &uuid);

    QMap<QString, QSharedPointer<Task::ITask>> m_tasks;
    quint64 m_page = 0;
    QStringList m_pluginNames;
    QSharedPointer<CApplication> m_application;
    QSharedPointer<CFileSystem> m_fileSystem;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(JSInterface::Deliveries)
