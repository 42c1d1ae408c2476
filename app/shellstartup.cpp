#include "app/shellstartup.h"

#include "app/localstorage.h"
#include "app/pathsmanager.h"
#include "app/qsingleinstance.h"
#include "app/settingsmanager.h"
#include "app/shellapplication.h"
#include "app/statemanager.h"
#include "bridge/desktopbridge.h"
#include "plugins/camera/cameramanager.h"

#include <QGuiApplication>
#include <QNetworkProxyFactory>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QWindow>

namespace {
QQmlApplicationEngine *s_engine = nullptr;
}

QQmlApplicationEngine *shellEngine()
{
    return s_engine;
}

void stopShell()
{
    delete s_engine;
    s_engine = nullptr;
}

int startShell(QSingleInstance *instance)
{
    s_engine = new QQmlApplicationEngine;

    StateManager *state = StateManager::instance();
    PathsManager *paths = PathsManager::instance();
    CameraManager *camera = CameraManager::instance();
    SettingsManager *settings = SettingsManager::instance();

    QQmlContext *context = s_engine->rootContext();
    context->setContextProperty(QStringLiteral("shellApp"), qobject_cast<ShellApplication *>(qApp));
    context->setContextProperty(QStringLiteral("pathsManager"), paths);
    context->setContextProperty(QStringLiteral("stateManager"), state);
    context->setContextProperty(QStringLiteral("cameraManager"), camera);
    context->setContextProperty(QStringLiteral("settingsManager"), settings);

    // Before Main.qml: the bridge points the web profile's storage there.
    LocalStorage::prepare();

    qmlRegisterType<DesktopBridge>("DesktopBridge", 1, 0, "DesktopBridge");

    QNetworkProxyFactory::setUseSystemConfiguration(true);

    s_engine->load(QUrl(QStringLiteral("qrc:/Main.qml")));

    if (auto *shell = qobject_cast<ShellApplication *>(qApp))
        shell->processArguments(QCoreApplication::arguments());

    const QWindowList windows = QGuiApplication::topLevelWindows();
    if (!windows.isEmpty()) {
        const QPointer<QWindow> window(windows.first());
        instance->setNotifyFunction([window] {
            if (window)
                ShellApplication::bringToFront(window);
        });
    }
    return 0;
}
