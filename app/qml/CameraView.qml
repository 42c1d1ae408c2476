import QtQuick 2.4
import QZXing 3.3
import QtMultimedia 5.5
import QtQuick.Controls 1.5
import QtQuick.Controls.Styles 1.4
import QtQuick.Layouts 1.1

Item {
    id: root

    readonly property bool isCameraActive: camera.cameraState === Camera.ActiveState
    property alias camera: camera

    function updateText(text) {
        cameraText.text = text;
    }

    Rectangle {
        color: "#000000"
        anchors.fill: parent
    }

    Camera {
        id: camera
        cameraState: Camera.LoadedState
        captureMode: Camera.CaptureViewfinder
        focus.focusMode: CameraFocus.FocusContinuous
        focus.focusPointMode: CameraFocus.FocusPointAuto
    }

    // Below the video output: shows through until frames arrive.
    Text {
        text: "Initializing camera, please wait..."
        visible: videoOutput.visible
        anchors.centerIn: parent
    }

    VideoOutput {
        id: videoOutput
        source: camera
        autoOrientation: true
        filters: [qzxingFilter]
        anchors.fill: parent

        QZXingFilter {
            id: qzxingFilter
            captureRect: {
                // Read both first so that the binding follows them.
                videoOutput.contentRect;
                videoOutput.sourceRect;
                return videoOutput.mapRectToSource(
                    videoOutput.mapNormalizedRectToItem(Qt.rect(0, 0, 1, 1)));
            }
            decoder {
                enabledDecoders: QZXing.DecoderFormat_CODE_128
                tryHarder: true
            }
        }

        Rectangle {
            id: captureZone
            color: "transparent"
            border.color: "red"
            border.width: 2
            width: parent.width / 2 + border.width
            height: parent.height / 2 + border.width
            anchors.centerIn: parent
        }
    }

    Component.onCompleted: {
        cameraManager.initialize(camera, qzxingFilter.decoder);
        // A text set before the view existed is shown too.
        updateText(cameraManager.text);
        cameraManager.textChanged.connect(updateText);
        cameraManager.initializationDone();
    }

    ToolBar {
        id: myToolbar
        opacity: 1
        visible: true
        height: Math.max(50, parent.height * 0.07)
        anchors.top: parent.top
        style: ToolBarStyle {
            padding {
                left: 8
                right: 8
                top: 3
                bottom: 3
            }
            background: Rectangle {
                color: "#55FFFFFF"
            }
        }

        RowLayout {
            anchors.fill: parent

            // Square and full height, centred; set through the layout,
            // which owns the geometry of its items.
            ToolButton {
                Layout.alignment: Qt.AlignVCenter
                Layout.fillHeight: true
                Layout.preferredWidth: height
                activeFocusOnPress: true
                onClicked: cameraManager.cameraClose()

                Image {
                    source: "images/arrow_back.png"
                    anchors.fill: parent
                    anchors.margins: 4
                }
            }

            Text {
                id: cameraText
                text: ""
                Layout.fillWidth: true
                Layout.fillHeight: true
                verticalAlignment: Text.AlignVCenter
                wrapMode: Text.WordWrap
                fontSizeMode: Text.Fit
                elide: Label.ElideRight
                minimumPointSize: 10
            }
        }
    }
}
