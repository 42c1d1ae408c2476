#include "app/pathsmanager.h"
#include "bridge/constants.h"
#include "plugins/audiorecorder/caudiorecorder.h"

#include <QtTest>

// The recorder's settings, which the page cannot read back, and two takes,
// the second stopping the first, measured outside the program.
class tst_AudioRecorder : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void refusedBeforeInitialisation();
    void settings_data();
    void settings();
    void secondTakeStopsTheFirst();

private:
    struct Outcome
    {
        bool ended = false;
        QString name;
        QVariantMap data;
    };
    // Starts task and returns once it has ended or timeoutMs has passed.
    static Outcome run(const QSharedPointer<Task::ITask> &task, int timeoutMs = 10000,
                       const std::function<void(const IResponse &)> &onNote = {});
    CAudioRecorder m_plugin;
};

tst_AudioRecorder::Outcome tst_AudioRecorder::run(const QSharedPointer<Task::ITask> &task,
                                                  int timeoutMs,
                                                  const std::function<void(const IResponse &)> &onNote)
{
    Outcome o;
    auto end = [&o](const QSharedPointer<IResponse> &r) {
        o.ended = true;
        o.name = r->functionName;
        o.data = r->toVariantMap();
    };
    QObject::connect(task.data(), &Task::ITask::onResolved, end);
    QObject::connect(task.data(), &Task::ITask::onRejected, end);
    if (onNote)
        QObject::connect(task.data(), &Task::ITask::onNotify, [&](auto r) { onNote(*r); });
    task->start();
    // A call that never ends is reported by the caller, which checks o.ended.
    (void)QTest::qWaitFor([&o] { return o.ended; }, timeoutMs);
    task->disconnect();
    return o;
}

void tst_AudioRecorder::initTestCase()
{
    QVERIFY(!qEnvironmentVariableIsEmpty("PULSE_SERVER")); // run through with-pulse.sh
    QCOMPARE(run(m_plugin.initialize()).name, QStringLiteral("initializePluginDone"));
}

// Each call that needs the recorder, on a recorder never initialised.
void tst_AudioRecorder::refusedBeforeInitialisation()
{
    CAudioRecorder fresh;
    const QVariantMap refusal{{"code", 608}, {"errorString", "the audio recorder is not initialised"}};
    for (const auto &[task, name] : {std::pair(fresh.recordAudio("u", "take.wav"), "recordAudioError"),
                                     std::pair(fresh.setAudioRecordSettings({}), "setAudioRecordSettingsError"),
                                     std::pair(fresh.setAudioRecordStatus({}), "setAudioRecordStatusError")}) {
        const Outcome o = run(task);
        QCOMPARE(o.name, QString::fromLatin1(name));
        QCOMPARE(o.data, refusal);
    }
}

void tst_AudioRecorder::settings_data()
{
    QTest::addColumn<QVariantMap>("settings");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("quality");
    QTest::addColumn<QString>("warning");

    QTest::newRow("quality word in mixed case")
        << QVariantMap{{"quality", "VeryLow"}} << true << 0 << QString();
    QTest::newRow("unknown quality word selects high")
        << QVariantMap{{"quality", "superb"}} << true << 3
        << QStringLiteral("Unhandled encoding quality: \"superb\"");
    // The container fails first: nothing after it is applied.
    QTest::newRow("unsupported container")
        << QVariantMap{{"container", "video/x-nothing"}, {"quality", "veryhigh"}} << false
        << -1 << QString();
}

void tst_AudioRecorder::settings()
{
    QFETCH(QVariantMap, settings);
    QFETCH(bool, accepted);
    QFETCH(int, quality);
    QFETCH(QString, warning);

    QAudioEncoderSettings before = m_plugin.recorder()->audioSettings();
    before.setQuality(QMultimedia::LowQuality);
    m_plugin.recorder()->setAudioSettings(before);
    const QString container = m_plugin.recorder()->containerFormat();
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));

    const Outcome o = run(m_plugin.setAudioRecordSettings(settings));
    QCOMPARE(o.name, accepted ? QStringLiteral("setAudioRecordSettingsDone")
                              : QStringLiteral("setAudioRecordSettingsError"));
    const QAudioEncoderSettings after = m_plugin.recorder()->audioSettings();
    if (accepted) {
        QCOMPARE(int(after.quality()), quality);
    } else {
        QVERIFY(after == before);
        QCOMPARE(m_plugin.recorder()->containerFormat(), container);
    }
}

void tst_AudioRecorder::secondTakeStopsTheFirst()
{
    QVERIFY(run(m_plugin.setAudioRecordSettings({{"container", "audio/x-wav"}, {"codec", "audio/x-raw"},
                                                 {"channelCount", 1}, {"sampleRate", 8000}})).ended);
    // Each call's callbacks, without the duration reports (their count varies).
    QMap<QString, QStringList> seen;
    QSharedPointer<Task::ITask> waiting, second, stop;
    std::function<QSharedPointer<Task::ITask>(QString)> record = [&](const QString &uuid) {
        const auto task = m_plugin.recordAudio(uuid, "takes/" + uuid + ".wav");
        const auto note = [&, uuid](const QSharedPointer<IResponse> &r) {
            QVariantMap data = r->toVariantMap();
            if (data.contains("duration")) { // a for a second, then b (which replaces w) for a second
                if (data.value("duration").toLongLong() < 1000)
                    return;
                if (!second) {
                    (waiting = record(QStringLiteral("w")))->start();
                    (second = record(QStringLiteral("b")))->start();
                }
                else if (uuid == "b" && !stop)
                    (stop = m_plugin.setAudioRecordStatus({{"state", 0}}))->start();
                return;
            }
            QString text = r->functionName;
            for (auto it = data.cbegin(); it != data.cend(); ++it)
                text += ' ' + it.key() + '=' + QUrl(it.value().toString()).fileName();
            seen[uuid] << text;
        };
        connect(task.data(), &Task::ITask::onNotify, note);
        connect(task.data(), &Task::ITask::onResolved, note);
        connect(task.data(), &Task::ITask::onRejected, note);
        return task;
    };
    const auto first = record(QStringLiteral("a"));
    first->start();
    QTRY_VERIFY_WITH_TIMEOUT(seen["b"].join(' ').contains(QRegularExpression("Audio(Done|Error)")),
                             30000);
    QCOMPARE(seen["w"], QStringList{"recordAudioError code=-1 errorString=replaced by a later recordAudio uuid=w"});
    const QString contents = PathsManager::instance()->get(Constants::PathManager::contentsPath);
    for (const QString uuid : {"a", "b"}) {
        const QString u = " uuid=" + uuid;
        const QString file = " outputLocation=" + uuid + ".wav";
        QCOMPARE(seen[uuid], QStringList({"recordAudioStarted" + file + u,
            "audioRecordStatusChanged state=1" + u, "audioRecordStatusChanged status=4" + u,
            "audioRecordStatusChanged status=5" + u, "audioRecordStatusChanged status=7" + u,
            "audioRecordStatusChanged status=3" + u, "audioRecordStatusChanged state=0" + u,
            "recordAudioDone" + file + u}));
        // Both files finished, as set: a length in the header, measured outside the program.
        const auto soxi = [&](const QString &what) {
            QProcess p;
            p.start(QStringLiteral("soxi"), {what, contents + "/takes/" + uuid + ".wav"});
            return p.waitForFinished(10000) ? p.readAllStandardOutput().trimmed() : QByteArray();
        };
        QCOMPARE(soxi("-c") + ' ' + soxi("-r"), QByteArray("1 8000"));
        const double seconds = soxi("-D").toDouble();
        QVERIFY2(seconds > 0.8 && seconds < 4.0, qPrintable(uuid + QString::number(seconds)));
    }
}

QTEST_GUILESS_MAIN(tst_AudioRecorder)
#include "tst_audiorecorder.moc"
