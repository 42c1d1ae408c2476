// The least a QtWebEngine QML program does to show a page: the baseline of
// the shell's start-up benchmark. Arguments: the page's URL, then any
// switches for the web engine. The page's window.close() ends it normally,
// as the shell's page ends the shell, so that the next start of a warm
// series finds what a normal exit leaves.

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QUrl>
#include <QtWebEngine/qtwebengineglobal.h>

int main(int argc, char **argv)
{
    QtWebEngine::initialize();
    QGuiApplication app(argc, argv);
    if (argc < 2)
        return 2;
    QQmlApplicationEngine engine;
    engine.rootContext()->setContextProperty(QStringLiteral("startUrl"),
                                             QUrl(QString::fromLocal8Bit(argv[1])));
    engine.loadData(R"(
        import QtQuick 2.5
        import QtQuick.Window 2.2
        import QtWebEngine 1.2
        Window {
            visible: true
            width: 1024
            height: 768
            WebEngineView {
                anchors.fill: parent
                url: startUrl
                onWindowCloseRequested: Qt.quit()
            }
        }
    )");
    return app.exec();
}
