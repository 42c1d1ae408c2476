import QtQuick 2.5
import QtWebEngine 1.2
import QtWebChannel 1.0
import DesktopBridge 1.0
import QtQuick.Window 2.2

Item {
    // Whether leaving full screen restores the normal window: not when the
    // window was full screen before the page asked for it.
    property bool showNormal: true

    anchors.fill: parent

    DesktopBridge {
        id: bridge
        WebChannel.id: "shellInterface"
    }

    WebEngineView {
        id: webview
        anchors.fill: parent
        visible: true
        url: pathsManager.get("wrapperStartupPath")
        webChannel.registeredObjects: [bridge]
        // fetch() of the course's own files and missing built-ins, in every
        // frame, before the page's scripts.
        userScripts: [
            WebEngineScript {
                name: "pagecompat"
                sourceUrl: "qrc:/pagecompat.js"
                injectionPoint: WebEngineScript.DocumentCreation
                worldId: WebEngineScript.MainWorld
                runOnSubframes: true
            }
        ]

        // A crashed or killed renderer is logged and ends the program with a
        // failure code; a normal end quits as before.
        onRenderProcessTerminated: {
            if (typeof shellApp !== "undefined" && shellApp)
                shellApp.renderProcessTerminated(terminationStatus, exitCode);
            else
                Qt.quit();
        }

        onFullScreenRequested: {
            if (request.toggleOn) {
                showNormal = mainWindow.visibility !== Window.FullScreen;
                mainWindow.showFullScreen();
            } else if (showNormal) {
                mainWindow.showNormal();
            }
            request.accept();
        }

        Connections {
            target: shellApp
            function onApplicationStateChanged() {
                bridge.stateChanged(Qt.application.state);
            }
            function onApplicationEvent(event) {
                bridge.applicationEvent(event);
            }
        }

        Component.onCompleted: {
            webview.settings.autoLoadImages = true;
            webview.settings.playbackRequiresUserGesture = false;
            // Closing is refused: the page decides whether to exit.
            mainWindow.closing.connect(function (close) {
                close.accepted = false;
                bridge.onWindowClose();
            });
        }
    }
}
