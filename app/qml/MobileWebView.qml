import QtWebView 1.0
import QtQuick 2.2
import QtQuick.Window 2.0
import ShellWebView 1.0

// Variant for a native mobile web view. The desktop shell never loads it and
// does not provide the ShellWebView module, so it is not in the resources.
Item {
    ShellWebView {
        id: webview
        focus: true
        anchors.fill: parent
        url: pathsManager.get("wrapperStartupPath")
        posX: root.x

        Keys.onReleased: {
            if (event.key === Qt.Key_Back) {
                webview.onKeyReleased(Qt.Key_Back);
                event.accepted = true;
            }
        }

        Connections {
            target: Qt.application
            function onAboutToQuit() {
                webview.onExit();
            }
            function onStateChanged() {
                webview.stateChanged(Qt.application.state);
            }
        }
    }
}
