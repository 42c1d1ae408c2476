// The real start-up sequence (runShell) with a logging, optionally slow startup function.

#include "app/qsingleinstance.h"
#include "app/shellmain.h"

#include <QCoreApplication>
#include <QThread>

int main(int argc, char **argv)
{
    auto startup = [](QSingleInstance *instance) {
        qInfo("helper: startup ran");
        QObject::connect(instance, &QSingleInstance::instanceMessage, instance,
                         [](const QStringList &arguments) {
                             if (arguments.contains(QStringLiteral("--quit-master")))
                                 QCoreApplication::quit();
                         });
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, instance,
                         [] { qInfo("helper: master about to quit"); });
        const int delay = qEnvironmentVariableIntValue("HELPER_STARTUP_DELAY_MS");
        if (delay > 0)
            QThread::msleep(ulong(delay));  // the master is busy, on purpose
        qInfo("helper: startup done");
        return 0;
    };
    // Runs in every instance: clients quit through the event loop too.
    auto aboutToQuit = [] {};
    return runShell(argc, argv, startup, aboutToQuit);
}
