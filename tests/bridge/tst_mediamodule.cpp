// The media services when their module is missing (no module sits beside
// this test): every call is answered, under its failure callback, and none
// waits.

#include "bridge/jsinterface.h"

#include <QtTest>

class tst_MediaModule : public QObject
{
    Q_OBJECT
private slots:
    void callsFailWithoutModule();
};

void tst_MediaModule::callsFailWithoutModule()
{
    JSInterface js(nullptr);
    QSignalSpy spy(&js, &JSInterface::invokeJSCall);
    const QString module = QCoreApplication::applicationDirPath() + "/tamberlin-media.so";
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^audio and camera are not available: "));
    js.initializePlugin("1", "AudioRecorder", {});
    js.initializePlugin("2", "Camera", {});
    js.playMedia("3", "a.mp3");
    js.setMediaStatus("4", {});
    js.mediaStatus("5");
    js.recordAudio("6", "a.wav");
    js.audioRecordSettings("7");
    js.setAudioRecordSettings("8", {});
    js.audioRecordStatus("9");
    js.setAudioRecordStatus("10", {});
    js.startCamera("11");
    js.stopCamera("12");
    js.setCameraText("13", "text");

    const QStringList expected{"initializePluginFail", "initializePluginFail", "playMediaError",
        "setMediaStatusError", "mediaStatusDone", "recordAudioError", "audioRecordSettingsDone",
        "setAudioRecordSettingsError", "audioRecordStatusDone", "setAudioRecordStatusError",
        "startCameraFail", "stopCameraFail", "setCameraTextDone"};
    QCOMPARE(spy.count(), expected.size());
    for (int i = 0; i < spy.count(); ++i) {
        QCOMPARE(spy.at(i).at(0).toString(), expected.at(i));
        const QVariantMap payload{{"uuid", QString::number(i + 1)}, {"code", 608},
            {"message", "Audio and camera are not available: " + module + " is missing"}};
        QCOMPARE(spy.at(i).at(1).toMap(), payload);
    }
    QCOMPARE(js.runningTaskCount(), 0);
}

QTEST_MAIN(tst_MediaModule)
#include "tst_mediamodule.moc"
