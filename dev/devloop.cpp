#include "dev/devloop.h"

#include "app/pathsmanager.h"
#include "app/settingsmanager.h"
#include "app/shellmain.h"
#include "bridge/constants.h"
#include "bridge/desktopbridge.h"
#include "bridge/jsinterface.h"
#include "content/archivepath.h"
#include "content/interceptorfactory.h"
#include "dev/treewatcher.h"

#include <QDir>
#include <QHostAddress>
#include <QQmlApplicationEngine>
#include <QQmlComponent>
#include <QTcpServer>
#include <QUrl>

#include <cstdio>
#include <memory>

namespace {

// Dev mode only: the shell's own QML files stay as they are. Connecting to
// javaScriptConsoleMessage takes the messages over from the web view, which
// otherwise writes them to the log under the category "js".
const char kConsoleQml[] = R"(
import QtQuick 2.5
QtObject {
    id: dev
    property var view: null
    signal consoleMessage(int level, string message, int line, string source)
    function reload() { view.reloadAndBypassCache(); }
    property Connections watch: Connections {
        target: dev.view
        function onJavaScriptConsoleMessage(level, message, lineNumber, sourceID) {
            dev.consoleMessage(level, message, lineNumber, sourceID);
        }
    }
}
)";

void printLine(FILE *stream, const QString &text)
{
    fputs((text + QLatin1Char('\n')).toLocal8Bit().constData(), stream);
    fflush(stream);
}

QObject *findByClass(const QList<QObject *> &roots, const char *className)
{
    for (QObject *root : roots) {
        if (root->inherits(className))
            return root;
        const QList<QObject *> all = root->findChildren<QObject *>();
        for (QObject *object : all)
            if (object->inherits(className))
                return object;
    }
    return nullptr;
}

} // namespace

DevLoop::DevLoop(const DevOptions &options, QObject *parent)
    : QObject(parent), m_options(options)
{
}

DevLoop::~DevLoop() = default;

int DevLoop::pickPort(int wanted)
{
    QTcpServer probe;
    if (wanted > 0 && probe.listen(QHostAddress::LocalHost, quint16(wanted)))
        return wanted;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return -1;
    return probe.serverPort();
}

bool DevLoop::prepare()
{
    const QString config = m_options.configFile();
    if (!config.isEmpty()) {
        PathsManager::instance()->set(Constants::name(Constants::PathManager::configPath), config);
        SettingsManager::instance()->reload(config);
    }
    setDevContent(m_options.root, m_options.courseDir);

    m_port = pickPort(m_options.port);
    if (m_port < 0) {
        printLine(stderr, QStringLiteral("Tamberlin: no free port on 127.0.0.1 for the developer tools"));
        return false;
    }
    if (m_options.port > 0 && m_port != m_options.port)
        printLine(stderr, QStringLiteral("[dev] port %1 is in use, using %2")
                              .arg(m_options.port).arg(m_port));
    // Read by the web engine when it starts, which is when the main window
    // loads; never set outside dev mode.
    qputenv("QTWEBENGINE_REMOTE_DEBUGGING", QByteArray("127.0.0.1:") + QByteArray::number(m_port));
    printLine(stderr, QStringLiteral("[dev] serving %1; developer tools: open http://127.0.0.1:%2 "
                                     "in a Chromium-based browser")
                          .arg(QDir::toNativeSeparators(m_options.courseDir)).arg(m_port));
    printLine(stdout, QStringLiteral("127.0.0.1:%1").arg(m_port));
    return true;
}

bool DevLoop::attach(QQmlApplicationEngine *engine)
{
    const QList<QObject *> roots = engine ? engine->rootObjects() : QList<QObject *>();
    QObject *view = findByClass(roots, "QQuickWebEngineView");
    auto *bridge = qobject_cast<DesktopBridge *>(findByClass(roots, "DesktopBridge"));
    if (!view || !bridge) {
        printLine(stderr, QStringLiteral("[dev] no web view to watch; live reload and console are off"));
        return false;
    }
    m_dispatcher = bridge->dispatcher();

    QQmlComponent component(engine);
    component.setData(kConsoleQml, QUrl(QStringLiteral("qrc:/dev/DevConsole.qml")));
    QObject *console = component.beginCreate(engine->rootContext());
    if (!console) {
        printLine(stderr, QStringLiteral("[dev] %1").arg(component.errorString()));
        return false;
    }
    console->setParent(this);
    console->setProperty("view", QVariant::fromValue(view));
    component.completeCreate();
    m_console = console;
    connect(console, SIGNAL(consoleMessage(int, QString, int, QString)), this,
            SLOT(onConsoleMessage(int, QString, int, QString)));

    m_watcher = new TreeWatcher(m_options.dir, 150, this);
    connect(m_watcher, &TreeWatcher::settled, this, &DevLoop::reload);
    if (m_watcher->unwatched() > 0)
        printLine(stderr, QStringLiteral("[dev] %1 files or folders cannot be watched (the system's "
                                         "limit of watches); changes to them do not reload")
                              .arg(m_watcher->unwatched()));
    return true;
}

void DevLoop::reload(const QStringList &changed)
{
    if (!m_console)
        return;
    QString what = changed.value(0);
    if (changed.size() > 1)
        what += QStringLiteral(" and %1 more").arg(changed.size() - 1);
    printLine(stderr, QStringLiteral("[dev] changed: %1; reloading").arg(what));
    // Before the reload: whatever the old page asked and has not had answered
    // must not reach the new one.
    if (m_dispatcher)
        m_dispatcher->pageReplaced();
    QMetaObject::invokeMethod(m_console, "reload");
}

QString DevLoop::consoleLine(int level, const QString &message, int line, const QString &source,
                             const QString &courseDir)
{
    static const char *const levels[] = {"info", "warning", "error"};
    const char *name = level >= 0 && level < 3 ? levels[level] : "info";
    QString where = source;
    const QUrl url(source);
    if (url.isLocalFile()) {
        const QString local = url.toLocalFile();
        where = local.startsWith(courseDir + QLatin1Char('/')) ? local.mid(courseDir.size() + 1)
                                                              : local;
    } else if (url.scheme() == Constants::name(Constants::UrlSchema::kelzip)) {
        // The course folder's files come through the archive scheme.
        const QString path = ArchivePath::fromUrlPath(url.path(QUrl::FullyDecoded));
        if (path.startsWith(QLatin1String("webapp/"), Qt::CaseInsensitive))
            where = path.mid(7);
    }
    if (where.isEmpty())
        return QStringLiteral("[%1] %2").arg(QLatin1String(name), message);
    return QStringLiteral("[%1] %2:%3: %4").arg(QLatin1String(name), where).arg(line).arg(message);
}

void DevLoop::onConsoleMessage(int level, const QString &message, int line, const QString &source)
{
    printLine(stderr, consoleLine(level, message, line, source, m_options.courseDir));
    // The log keeps what the web view would have written there itself.
    const QByteArray file = source.toUtf8();
    const QMessageLogger logger(file.constData(), line, nullptr, "js");
    if (level == 1)
        logger.warning().noquote() << message;
    else if (level == 2)
        logger.critical().noquote() << message;
}

int runDevShell(int argc, char **argv, const DevOptions &options,
                const std::function<int(QSingleInstance *)> &startup,
                const std::function<void()> &stop,
                const std::function<QQmlApplicationEngine *()> &engine)
{
    std::unique_ptr<DevLoop> loop;
    bool master = false;
    const int exitCode = runShell(
        argc, argv,
        [&](QSingleInstance *instance) {
            master = true;
            loop.reset(new DevLoop(options));
            if (!loop->prepare())
                return 1;
            const int result = startup(instance);
            loop->attach(engine());
            return result;
        },
        [&] {
            loop.reset();
            stop();
        });
    if (!master)
        printLine(stderr, QStringLiteral("Tamberlin: another Tamberlin is running and was handed "
                                         "the arguments; close it to start the dev loop"));
    return exitCode;
}
