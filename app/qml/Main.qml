import QtQuick 2.4
import QtQuick.Window 2.2

// A plain Window and a Loader: the shell shows one page, and Controls 1
// (ApplicationWindow, StackView) would load its whole module before it.
Window {
    id: mainWindow
    visible: true
    color: "white"
    title: settingsManager.get("visual", "ProductName", "")
    width: settingsManager.get("visual", "StageX", 1024)
    height: settingsManager.get("visual", "StageY", 768)

    Loader {
        id: pageStack
        source: "Webview.qml"
        focus: true
        anchors.fill: parent
    }

    Component.onCompleted: {
        cameraManager.startInitialization.connect(function () {
            // A view per request: the camera plugin asks only while no view holds a camera.
            var component = Qt.createComponent("CameraView.qml");
            var cameraView = component.createObject(mainWindow);
            cameraView.anchors.fill = cameraView.parent;
            cameraView.visible = Qt.binding(function () { return cameraView.isCameraActive; });
            pageStack.visible = Qt.binding(function () { return !cameraView.isCameraActive; });
        });
    }
}
