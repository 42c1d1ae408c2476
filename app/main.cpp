#include "app/shellmain.h"
#include "app/shellstartup.h"
#include "dev/devloop.h"

#include <QString>
#include <QStringList>
#include <QtWebEngine/qtwebengineglobal.h>

#include <cstdio>

int main(int argc, char **argv)
{
    // Must precede the application object: the web engine shares one OpenGL
    // context with the QML scene, created while the application starts.
    QtWebEngine::initialize();

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const DevOptions dev = DevOptions::parse(arguments);
    if (!dev.error.isEmpty()) {
        fprintf(stderr, "Tamberlin: %s\n", dev.error.toLocal8Bit().constData());
        return 2;
    }
    if (dev.enabled)
        return runDevShell(argc, argv, dev, &startShell, &stopShell, &shellEngine);
    return runShell(argc, argv, &startShell, &stopShell);
}
