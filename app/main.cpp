#include "app/shellmain.h"
#include "app/shellstartup.h"

#include <QtWebEngine/qtwebengineglobal.h>

int main(int argc, char **argv)
{
    // Must precede the application object: the web engine shares one OpenGL
    // context with the QML scene, created while the application starts.
    QtWebEngine::initialize();
    return runShell(argc, argv, &startShell, &stopShell);
}
