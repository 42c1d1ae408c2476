#include "app/shellmain.h"

#include "app/mergedarguments.h"
#include "app/qsingleinstance.h"
#include "app/shellapplication.h"

#include <memory>

int runShell(int argc, char **argv, const std::function<int(QSingleInstance *)> &startup,
             const std::function<void()> &aboutToQuit)
{
    // Before anything else: paths, the log location and the instance ID
    // derive from these names.
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Tamberlin"));

    MergedArguments arguments(argc, argv);
    int exitCode = 0;
    {
        auto app = std::make_unique<ShellApplication>(arguments.argc(), arguments.argv());
        if (aboutToQuit)
            QObject::connect(app.get(), &QCoreApplication::aboutToQuit, app.get(), aboutToQuit,
                             Qt::DirectConnection);

        auto instance = std::make_unique<QSingleInstance>();
        QSingleInstance *single = instance.get();
        instance->setStartupFunction([single, &startup] { return startup ? startup(single) : 0; });
        ShellApplication *shell = app.get();
        QObject::connect(
            single, &QSingleInstance::instanceMessage, single,
            [shell](const QStringList &received) { shell->processArguments(received); },
            Qt::DirectConnection);

        exitCode = instance->singleExec(true);

        instance.reset();
        app.reset();
    }
    return exitCode;
}
