#include "app/shellapplication.h"

#include "app/pathsmanager.h"
#include "app/shelllog.h"
#include "app/urlprotocols.h"
#include "content/archiveexception.h"

#include <QDir>
#include <QFileInfo>
#include <QFileOpenEvent>
#include <QLoggingCategory>
#include <QWindow>

Q_LOGGING_CATEGORY(lcShellApplication, "ShellApplication")

ShellApplication::ShellApplication(int &argc, char **argv) : QApplication(argc, argv)
{
    qRegisterMetaType<QMLEvent>("QMLEvent");
    setupLogFile();
    qSetMessagePattern(QString::fromLatin1(ShellLog::Pattern));
    qInstallMessageHandler(&ShellLog::messageHandler);
    registerUrlProtocols();
}

ShellApplication::~ShellApplication()
{
    // The handler stays installed and drops what comes after this.
    ShellLog::close();
}

void ShellApplication::setupLogFile()
{
    const QString path = PathsManager::instance()->get(Constants::PathManager::logsPath);
    const QFileInfo info(path);
    if (!info.absoluteDir().mkpath(QStringLiteral(".")))
        qCritical("Application logs path can not be created");
    if (!ShellLog::open(info.absoluteFilePath()))
        qCritical("Log file cannot be opened at '%s'", info.absoluteFilePath().toUtf8().constData());
}

void ShellApplication::registerUrlProtocols()
{
    UrlProtocols::registerConfigured();
}

void ShellApplication::processArguments(const QStringList &arguments)
{
    static const QString option = QStringLiteral("--open-uri");
    static const QString prefix = QStringLiteral("--open-uri=");
    for (const QString &argument : arguments) {
        if (!argument.startsWith(option))
            continue;
        if (argument.size() > MaxOpenUriLength) {
            qCWarning(lcShellApplication).nospace()
                << "dropped an --open-uri argument of " << argument.size() << " characters ("
                << argument.left(64) << "...): longer than any command line";
            continue;
        }
        const QString target =
            argument.startsWith(prefix) ? argument.mid(prefix.size()) : argument;
        QCoreApplication::postEvent(this, new QFileOpenEvent(target));
    }
}

void ShellApplication::renderProcessTerminated(int status, int exitCode)
{
    if (status == 0) {
        QCoreApplication::quit();
        return;
    }
    static const char *const names[] = {"normal", "abnormal", "crashed", "killed"};
    const char *name = status > 0 && status < 4 ? names[status] : "unknown";
    qCCritical(lcShellApplication).nospace()
        << "The page's render process ended: status " << name << " (" << status
        << "), exit code " << exitCode << "; the program exits with "
        << RenderProcessFailedExitCode;
    QCoreApplication::exit(RenderProcessFailedExitCode);
}

bool ShellApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        if (event->type() == QEvent::FileOpen) {
            const QUrl url = static_cast<QFileOpenEvent *>(event)->url();
            if (!url.isEmpty()) {
                emit applicationEvent(QMLEvent(new QMLFileOpenEvent(url)));
                const QWindowList windows = QGuiApplication::topLevelWindows();
                if (!windows.isEmpty())
                    bringToFront(windows.first());
                return true;
            }
        }
        return QApplication::notify(receiver, event);
    } catch (const ArchiveException &e) {
        // Logged as an error, not as a fatal message: a fatal message would
        // end the process, and one failed archive read must not.
        qCritical("Archive error, code: %i, message: %s.", e.code,
                  e.message.toLocal8Bit().constData());
        return false;
    }
}

void ShellApplication::bringToFront(QWindow *window)
{
    window->show();
    window->raise();
    window->alert(0);
    window->requestActivate();
}
