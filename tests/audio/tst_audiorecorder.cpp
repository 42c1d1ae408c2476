#include "app/pathsmanager.h"
#include "bridge/constants.h"
#include "plugins/audiorecorder/caudiorecorder.h"

#include <QtTest>

// The recorder's settings, which the page cannot read back, and the length
// of a real recording measured outside the program.
class tst_AudioRecorder : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void settings_data();
    void settings();
    void recordsTwoSeconds();

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

void tst_AudioRecorder::recordsTwoSeconds()
{
    // A relative path lands under the contents folder.
    const QString file = PathsManager::instance()->get(Constants::PathManager::contentsPath)
        + QStringLiteral("/takes/two.wav");
    QVERIFY(run(m_plugin.setAudioRecordSettings(
        {{"container", "audio/x-wav"}, {"codec", "audio/x-raw"}})).ended);
    const auto task = m_plugin.recordAudio(QStringLiteral("u"), QStringLiteral("takes/two.wav"));
    // Stop once the recorder reports two seconds; a loaded machine stops late.
    QSharedPointer<Task::ITask> stop;
    const Outcome o = run(task, 30000, [this, &stop](const IResponse &note) {
        if (!stop && note.data.value("duration").toLongLong() >= 2000) {
            stop = m_plugin.setAudioRecordStatus({{"state", 0}});
            stop->start();
        }
    });
    QCOMPARE(o.name, QStringLiteral("recordAudioDone"));
    QCOMPARE(QUrl(o.data.value("outputLocation").toString()).toLocalFile(), file);

    QProcess soxi;
    soxi.start(QStringLiteral("soxi"), {QStringLiteral("-D"), file});
    QVERIFY(soxi.waitForFinished(10000));
    const double seconds = soxi.readAllStandardOutput().trimmed().toDouble();
    QVERIFY2(seconds > 1.7 && seconds < 4.0, qPrintable(QString::number(seconds)));
}

QTEST_GUILESS_MAIN(tst_AudioRecorder)
#include "tst_audiorecorder.moc"
