import QtQuick 2.4
import QtQuick.Controls 1.3
import QtQuick.Window 2.2
import QtQuick.Dialogs 1.2
import QtQuick.LocalStorage 2.0

// A plain Window: the Controls 1 ApplicationWindow adds menu, tool and status
// bar layout that the shell never uses, at a tenth of a second of start-up.
Window {
    id: mainWindow
    visible: true
    color: "white"
    title: settingsManager.get("visual", "ProductName", "")
    width: settingsManager.get("visual", "StageX", 1024)
    height: settingsManager.get("visual", "StageY", 768)

    StackView {
        id: pageStack
        initialItem: Qt.resolvedUrl("Webview.qml")
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
