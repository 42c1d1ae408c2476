#include "bridge/jsinterface.h"

#include "app/pathsmanager.h"
#include "bridge/constants.h"
#include "bridge/response.h"
#include "plugins/application/capplication.h"
#include "plugins/filesystem/cfilesystem.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QPointer>
#include <QThreadPool>
#include <QUrl>

Q_LOGGING_CATEGORY(lcBridge, "JSInterface")

using Constants::callback;
using Constants::key;
namespace JSInvoke = Constants::JSInvoke;
namespace Other = Constants::Other;
namespace Plugins = Constants::Plugins;

namespace {

QVariantMap versionMap()
{
    return QJsonDocument::fromJson(QByteArrayLiteral("{ \"semver\": \"1.8.7\" }"))
        .object()
        .toVariantMap();
}

// Plugins of this build that have an initialisation of their own but are
// not delivered yet: the page is told so instead of a false success.
bool isUnavailable(const QString &name)
{
    return name == Constants::name(Plugins::Storage)
        || name == Constants::name(Plugins::AudioRecorder)
        || name == Constants::name(Plugins::Camera);
}

} // namespace

JSInterface::JSInterface(ArchiveAccessManager *archiveManager, QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<QMLEvent>("QMLEvent");
    qRegisterMetaType<QSharedPointer<IResponse>>();

    m_application.reset(new CApplication);
    connect(this, &JSInterface::applicationEvent, m_application.data(),
            &CApplication::applicationEvent);
    connect(m_application.data(), &CApplication::invokeJSCall, this,
            &JSInterface::onInvokeJSCall);

    m_fileSystem.reset(new CFileSystem(archiveManager));

    const QMetaEnum plugins = QMetaEnum::fromType<Plugins::_Plugins>();
    for (int i = 0; i < plugins.keyCount(); ++i)
        m_pluginNames.append(QString::fromLatin1(plugins.key(i)));
}

JSInterface::~JSInterface()
{
    // Pool functions of file system tasks hold the plugin and the archive
    // by plain pointer.
    QThreadPool::globalInstance()->waitForDone();
    m_fileSystem.reset();
    m_application.reset();
    m_pluginNames.clear();
    m_tasks.clear();
}

QStringList JSInterface::pageMethods()
{
    return {
        QStringLiteral("initialize"),
        QStringLiteral("finalize"),
        QStringLiteral("initializePlugin"),
        QStringLiteral("fsItemsInfo"),
        QStringLiteral("fsItemsDelete"),
        QStringLiteral("fsItemsCopy"),
        QStringLiteral("fsItemsList"),
        QStringLiteral("fsContentsRootPath"),
        QStringLiteral("openUrlPlatformDef"),
        QStringLiteral("exitApplication"),
        QStringLiteral("applicationInfo"),
        QStringLiteral("setApplicationState"),
        QStringLiteral("getApplicationState"),
        QStringLiteral("stateChanged"),
        QStringLiteral("onWindowClose"),
        QStringLiteral("getOpenFileName"),
        QStringLiteral("getSaveFileName"),
    };
}

void JSInterface::send(const QString &name, const QVariantMap &data)
{
    emit invokeJSCall(name, data);
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
    Q_UNUSED(params) // only the storage plugin reads them
    if (!m_pluginNames.contains(pluginName)) {
        send(callback(JSInvoke::initializePluginFail),
             {{key(Other::uuid), uuid}, {key(Other::code), 607}});
        return;
    }
    if (isUnavailable(pluginName)) {
        send(callback(JSInvoke::initializePluginFail),
             {{key(Other::uuid), uuid},
              {key(Other::code), 608},
              {key(Other::message),
               QStringLiteral("%1 is not available in this build").arg(pluginName)}});
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
                                {key(Other::code), int(CFileSystem::DialogCancelled)}};
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
