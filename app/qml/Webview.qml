import QtQuick 2.4
import QtQuick.Window 2.2

Item {
    id: root

    Loader {
        id: webviewContainer
        source: stateManager.isMobile() ? "MobileWebView.qml" : "DesktopWebView.qml"
        focus: true
        anchors.fill: parent
    }
}
