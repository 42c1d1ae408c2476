// The dispatcher and the bridge in process: what the page receives for each
// call, the task registry, the Application plugin's event queue, the exit
// path, the file dialogs and the surface that the web channel publishes.

#include "app/qmlevent.h"
#include "bridge/constants.h"
#include "bridge/desktopbridge.h"
#include "bridge/jsinterface.h"
#include "content/archiveaccessmanager.h"
#include "plugins/application/capplication.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGuiApplication>
#include <QJsonArray>
#include <QLineEdit>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebChannel>
#include <QWebChannelAbstractTransport>
#include <QtTest>

namespace {

// An archive that holds nothing: the dispatcher only hands it to plugins.
class EmptyArchive : public ArchiveAccessManager
{
public:
    bool exists(const QString &) override { return false; }
    QByteArray read(const QString &) override { return {}; }
    QIODevice *open(const QString &) override { return nullptr; }
};

// The page's end of a web channel, without a browser.
class PageTransport : public QWebChannelAbstractTransport
{
public:
    void sendMessage(const QJsonObject &message) override { received.append(message); }
    void receive(const QJsonObject &message) { emit messageReceived(message, this); }
    QList<QJsonObject> received;
};

struct Call
{
    QString name;
    QVariantMap data;
};

QList<Call> calls(const QSignalSpy &spy)
{
    QList<Call> out;
    for (const QList<QVariant> &args : spy)
        out.append({args.at(0).toString(), args.at(1).toMap()});
    return out;
}

QMLEvent fileOpenEvent(const QString &url)
{
    return QMLEvent(new QMLFileOpenEvent(QUrl(url)));
}

ResponsePtr named(const QString &name, const QVariantMap &data = {}, int type = 0)
{
    return ResponsePtr(new IResponse(data, name, type));
}

const QVariantMap kVersion{{QStringLiteral("semver"), QStringLiteral("1.8.7")}};

} // namespace

class tst_JSInterface : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void initializeAnswersVersion();
    void finalizeAnswersDone();
    void initializePlugin_data();
    void initializePlugin();
    void pluginNamesInEnumOrder();
    void applicationInitialization();
    void eventsQueuedUntilInitialized();
    void eventDuringReleaseWaitsBehindQueue();
    void secondInitializationSendsNothingTwice();
    void nullEventIsIgnored();
    void uuidIsOverwritten();
    void progressBeforeEndSameUuid();
    void rejectionDelivered();
    void undeliveredSignalsStillEndTheEntry_data();
    void undeliveredSignalsStillEndTheEntry();
    void emptyFutureResultLeavesRegistry();
    void taskEndingInsideStart();
    void taskReleasedAfterItsSignal();
    void taskOutlivingDispatcherReachesNobody();
    void setApplicationStateAlwaysFalse_data();
    void setApplicationStateAlwaysFalse();
    void getApplicationState();
    void applicationInfo();
    void stateChangedHasNoUuid();
    void onWindowCloseSendsNoticeAndDoesNotQuit();
    void exitApplicationEndsLoopWithCode();
    void openUrlPlatformDef_data();
    void openUrlPlatformDef();
    void fileDialog_data();
    void fileDialog();
    void fileSystemCallsCarryUuid();
    void bridgeForwardsCallsAndEvents();
    void publishedSurface();
    void pageCannotDeleteBridge();
    void bridgeRefusesDeferredDelete();

public slots:
    // Target of a test URL scheme for openUrlPlatformDef.
    void handleUrl(const QUrl &url) { m_openedUrls.append(url); }

private:
    QScopedPointer<EmptyArchive> m_archive;
    QScopedPointer<JSInterface> m_js;
    QList<QUrl> m_openedUrls;
};

void tst_JSInterface::init()
{
    m_archive.reset(new EmptyArchive);
    m_js.reset(new JSInterface(m_archive.data()));
    m_openedUrls.clear();
}

void tst_JSInterface::cleanup()
{
    m_js.reset();
    m_archive.reset();
}

void tst_JSInterface::initializeAnswersVersion()
{
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    m_js->initialize("a");
    QCOMPARE(spy.count(), 1);
    const Call call = calls(spy).first();
    QCOMPARE(call.name, QStringLiteral("initializeDone"));
    const QVariantMap expected{{"uuid", "a"}, {"version", kVersion}};
    QCOMPARE(call.data, expected);
}

void tst_JSInterface::finalizeAnswersDone()
{
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    m_js->finalize("f");
    QCOMPARE(spy.count(), 1);
    QCOMPARE(calls(spy).first().name, QStringLiteral("finalizeDone"));
    QCOMPARE(calls(spy).first().data, (QVariantMap{{"uuid", "f"}}));
    QCOMPARE(m_js->runningTaskCount(), 0);
}

void tst_JSInterface::initializePlugin_data()
{
    QTest::addColumn<QString>("plugin");
    QTest::addColumn<QString>("callback");
    QTest::addColumn<QVariantMap>("payload"); // besides uuid

    const QVariantMap none;
    QTest::newRow("Application answers version") << "Application" << "initializePluginDone"
                                                 << QVariantMap{{"version", kVersion}};
    // Without a QML layer no camera view comes up.
    QTest::newRow("Camera without a view: 608") << "Camera" << "initializePluginFail"
        << QVariantMap{{"code", 608}, {"message", "The camera view could not be opened"}};
    QTest::newRow("Network needs nothing") << "Network" << "initializePluginDone" << none;
    QTest::newRow("AudioRecorder creates its recorder") << "AudioRecorder"
                                                       << "initializePluginDone" << none;
    QTest::newRow("AudioPlayer answers at once, no empty task")
        << "AudioPlayer" << "initializePluginDone" << none;
    QTest::newRow("FileDownloader needs nothing") << "FileDownloader" << "initializePluginDone" << none;
    QTest::newRow("FileSystem needs nothing") << "FileSystem" << "initializePluginDone" << none;
    QTest::newRow("Hardware needs nothing") << "Hardware" << "initializePluginDone" << none;
    QTest::newRow("Zip needs nothing") << "Zip" << "initializePluginDone" << none;
    QTest::newRow("Archive needs nothing") << "Archive" << "initializePluginDone" << none;
    const QVariantMap unknown{{"code", 607}};
    QTest::newRow("wrong case zip: 607") << "zip" << "initializePluginFail" << unknown;
    QTest::newRow("wrong case application: 607") << "application" << "initializePluginFail" << unknown;
    QTest::newRow("empty name: 607") << "" << "initializePluginFail" << unknown;
    QTest::newRow("unknown name: 607") << "Bluetooth" << "initializePluginFail" << unknown;
    QTest::newRow("name with blank: 607") << "Zip " << "initializePluginFail" << unknown;
}

void tst_JSInterface::initializePlugin()
{
    QFETCH(QString, plugin);
    QFETCH(QString, callback);
    QFETCH(QVariantMap, payload);

    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    m_js->initializePlugin("u1", plugin, {{"path", "ignored"}});
    const bool viaTask = plugin == "Application";
    if (viaTask) {
        QCOMPARE(spy.count(), 0);
        QCOMPARE(m_js->runningTaskCount(), 1);
        QTRY_COMPARE(spy.count(), 1);
    } else {
        // Answered at once: no task was created.
        QCOMPARE(spy.count(), 1);
    }
    QCOMPARE(m_js->runningTaskCount(), 0);
    QVariantMap expected = payload;
    expected.insert("uuid", "u1");
    QCOMPARE(calls(spy).first().name, callback);
    QCOMPARE(calls(spy).first().data, expected);
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), 1);
}

void tst_JSInterface::pluginNamesInEnumOrder()
{
    const QStringList expected{"Storage", "Application", "Camera", "Network",
                               "AudioRecorder", "AudioPlayer", "FileDownloader",
                               "FileSystem", "Hardware", "Zip", "Archive"};
    QCOMPARE(m_js->pluginNames(), expected);
}

void tst_JSInterface::applicationInitialization()
{
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    QVERIFY(!m_js->application()->isInitialized());
    m_js->initializePlugin("app", "Application", {});
    QTRY_VERIFY(m_js->application()->isInitialized());
    QCOMPARE(calls(spy).first().name, QStringLiteral("initializePluginDone"));
    QCOMPARE(calls(spy).first().data.value("version").toMap(), kVersion);
}

void tst_JSInterface::eventsQueuedUntilInitialized()
{
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    emit m_js->applicationEvent(fileOpenEvent("file:///first"));
    emit m_js->applicationEvent(fileOpenEvent("file:///second"));
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), 0);
    QCOMPARE(m_js->application()->pendingEventCount(), 2);

    m_js->initializePlugin("app", "Application", {});
    QTRY_COMPARE(spy.count(), 3);
    const QList<Call> got = calls(spy);
    // The page hears of the initialisation first, then of the events in the
    // order in which they happened.
    QCOMPARE(got.at(0).name, QStringLiteral("initializePluginDone"));
    for (int i = 1; i <= 2; ++i) {
        QCOMPARE(got.at(i).name, QStringLiteral("applicationEvent"));
        QCOMPARE(got.at(i).data.value("className").toString(), QStringLiteral("QMLFileOpenEvent"));
        QCOMPARE(got.at(i).data.value("type").toInt(), QMLFileOpenEvent::eventType());
        QVERIFY(!got.at(i).data.contains("uuid"));
        QCOMPARE(got.at(i).data.size(), 3);
    }
    QCOMPARE(got.at(1).data.value("url").toUrl(), QUrl("file:///first"));
    QCOMPARE(got.at(2).data.value("url").toUrl(), QUrl("file:///second"));
    QCOMPARE(m_js->application()->pendingEventCount(), 0);

    // Once initialised, an event goes out at once.
    emit m_js->applicationEvent(fileOpenEvent("file:///third"));
    QCOMPARE(spy.count(), 4);
    QCOMPARE(calls(spy).last().data.value("url").toUrl(), QUrl("file:///third"));
}

// An event raised while the page is being told of the initialisation must
// not overtake the queued ones.
void tst_JSInterface::eventDuringReleaseWaitsBehindQueue()
{
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    emit m_js->applicationEvent(fileOpenEvent("file:///queued"));
    bool raised = false;
    connect(m_js.data(), &JSInterface::invokeJSCall, this,
            [&](const QString &name, const QVariantMap &) {
                if (name == "initializePluginDone" && !raised) {
                    raised = true;
                    emit m_js->applicationEvent(fileOpenEvent("file:///late"));
                }
            });
    m_js->initializePlugin("app", "Application", {});
    QTRY_COMPARE(spy.count(), 3);
    const QList<Call> got = calls(spy);
    QCOMPARE(got.at(0).name, QStringLiteral("initializePluginDone"));
    QCOMPARE(got.at(1).data.value("url").toUrl(), QUrl("file:///queued"));
    QCOMPARE(got.at(2).data.value("url").toUrl(), QUrl("file:///late"));
}

void tst_JSInterface::secondInitializationSendsNothingTwice()
{
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    emit m_js->applicationEvent(fileOpenEvent("file:///once"));
    m_js->initializePlugin("a", "Application", {});
    QTRY_COMPARE(spy.count(), 2);
    m_js->initializePlugin("b", "Application", {});
    QTRY_COMPARE(spy.count(), 3);
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), 3);
    QCOMPARE(calls(spy).last().name, QStringLiteral("initializePluginDone"));
    QCOMPARE(calls(spy).last().data.value("uuid").toString(), QStringLiteral("b"));
}

void tst_JSInterface::nullEventIsIgnored()
{
    m_js->initializePlugin("a", "Application", {});
    QTRY_VERIFY(m_js->application()->isInitialized());
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    QTest::ignoreMessage(QtWarningMsg, "ignored an application event without data");
    emit m_js->applicationEvent(QMLEvent());
    QCOMPARE(spy.count(), 0);
}

void tst_JSInterface::uuidIsOverwritten()
{
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    const auto task = Task::CTask::create();
    m_js->deliver(task, "request", JSInterface::Resolved);
    task->resolve(named("saveDBItemDone", {{"uuid", "from-plugin"}, {"x", 1}}));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(calls(spy).first().name, QStringLiteral("saveDBItemDone"));
    QCOMPARE(calls(spy).first().data, (QVariantMap{{"uuid", "request"}, {"x", 1}}));
}

void tst_JSInterface::progressBeforeEndSameUuid()
{
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    const auto task = Task::CTask::create();
    m_js->deliver(task, "job", JSInterface::Resolved | JSInterface::Rejected | JSInterface::Notified);
    QVERIFY(m_js->isRegistered(task->id()));
    task->notify(named("archiveUnzipProgress", {{"progress", 10}}));
    task->notify(named("archiveUnzipProgress", {{"progress", 20}}));
    QVERIFY(m_js->isRegistered(task->id()));
    task->resolve(named("archiveUnzipFinish"));
    QVERIFY(!m_js->isRegistered(task->id()));

    const QList<Call> got = calls(spy);
    QCOMPARE(got.size(), 3);
    QCOMPARE(got.at(0).name, QStringLiteral("archiveUnzipProgress"));
    QCOMPARE(got.at(0).data.value("progress").toInt(), 10);
    QCOMPARE(got.at(1).data.value("progress").toInt(), 20);
    QCOMPARE(got.at(2).name, QStringLiteral("archiveUnzipFinish"));
    for (const Call &c : got)
        QCOMPARE(c.data.value("uuid").toString(), QStringLiteral("job"));
}

void tst_JSInterface::rejectionDelivered()
{
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    const auto task = Task::CFutureTask::run([] {
        return ResponsePtr(new CErrorResponse(-102, "bad", "zipListContentsFail"));
    });
    m_js->deliver(task, "z", JSInterface::Resolved | JSInterface::Rejected);
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(calls(spy).first().name, QStringLiteral("zipListContentsFail"));
    QCOMPARE(calls(spy).first().data,
             (QVariantMap{{"uuid", "z"}, {"code", -102}, {"message", "bad"}}));
    QCOMPARE(m_js->runningTaskCount(), 0);
}

void tst_JSInterface::undeliveredSignalsStillEndTheEntry_data()
{
    QTest::addColumn<QString>("ending");
    QTest::newRow("reject of a resolve-only call") << "reject";
    QTest::newRow("cancel") << "cancel";
}

void tst_JSInterface::undeliveredSignalsStillEndTheEntry()
{
    QFETCH(QString, ending);
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    const auto task = Task::CTask::create();
    m_js->deliver(task, "r", JSInterface::Resolved);
    QCOMPARE(m_js->runningTaskCount(), 1);
    if (ending == "reject")
        task->reject(named("someError", {}, 1));
    else
        task->cancel();
    QCOMPARE(spy.count(), 0);
    QCOMPARE(m_js->runningTaskCount(), 0);
}

void tst_JSInterface::emptyFutureResultLeavesRegistry()
{
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("produced no response"));
    m_js->deliver(Task::CFutureTask::run([] { return ResponsePtr(); }), "e",
                  JSInterface::Resolved | JSInterface::Rejected);
    QCOMPARE(m_js->runningTaskCount(), 1);
    QTRY_COMPARE(m_js->runningTaskCount(), 0);
    QCOMPARE(spy.count(), 0);
}

void tst_JSInterface::taskEndingInsideStart()
{
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    const auto task = Task::CTask::create();
    connect(task.data(), &Task::CTask::started, task.data(),
            [t = task.data()] { t->resolve(named("dbCommitFinish")); }, Qt::DirectConnection);
    m_js->deliver(task, "s", JSInterface::Resolved);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(m_js->runningTaskCount(), 0);
}

// Even a task without the deferred deleter is released only after its
// ending signal has returned.
void tst_JSInterface::taskReleasedAfterItsSignal()
{
    Task::CTask *raw = nullptr;
    {
        const QSharedPointer<Task::ITask> task(new Task::CTask);
        raw = static_cast<Task::CTask *>(task.data());
        m_js->deliver(task, "d", JSInterface::Resolved);
    }
    const QPointer<Task::CTask> watch(raw);
    bool alive = false;
    connect(raw, &Task::ITask::onResolved, raw, [&] { alive = !watch.isNull(); },
            Qt::DirectConnection);
    raw->resolve(named("x"));
    QVERIFY(alive);
    QVERIFY(!watch.isNull());
    QCOMPARE(m_js->runningTaskCount(), 0);
    QTRY_VERIFY(watch.isNull());
}

void tst_JSInterface::taskOutlivingDispatcherReachesNobody()
{
    const auto task = Task::CTask::create();
    m_js->deliver(task, "o", JSInterface::Resolved);
    m_js.reset();
    task->resolve(named("late")); // no receiver, no crash
    QVERIFY(task->hasEnded());
}

void tst_JSInterface::setApplicationStateAlwaysFalse_data()
{
    QTest::addColumn<QString>("state");
    QTest::newRow("active") << "active";
    QTest::newRow("empty") << "";
    QTest::newRow("number") << "4";
}

void tst_JSInterface::setApplicationStateAlwaysFalse()
{
    QFETCH(QString, state);
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    m_js->setApplicationState("s1", state);
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(calls(spy).first().name, QStringLiteral("setApplicationStateFinish"));
    QCOMPARE(calls(spy).first().data, (QVariantMap{{"uuid", "s1"}, {"result", false}}));
    QCOMPARE(m_js->runningTaskCount(), 0);
}

void tst_JSInterface::getApplicationState()
{
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    m_js->getApplicationState("g");
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(calls(spy).first().name, QStringLiteral("getApplicationStateFinish"));
    QCOMPARE(calls(spy).first().data,
             (QVariantMap{{"uuid", "g"},
                          {"state_code", int(QGuiApplication::applicationState())}}));
}

void tst_JSInterface::applicationInfo()
{
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    m_js->applicationInfo("i");
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(calls(spy).first().name, QStringLiteral("applicationInfoDone"));
    const QVariantMap expected{{"uuid", "i"},
                               {"dir_path", QCoreApplication::applicationDirPath()},
                               {"file_path", QCoreApplication::applicationFilePath()},
                               {"name", QCoreApplication::applicationName()},
                               {"display_name", QGuiApplication::applicationDisplayName()}};
    QCOMPARE(calls(spy).first().data, expected);
}

void tst_JSInterface::stateChangedHasNoUuid()
{
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    m_js->applicationStateChanged(Qt::ApplicationActive);
    m_js->applicationStateChanged(Qt::ApplicationInactive);
    // At once and in order: a later state never arrives first.
    QCOMPARE(spy.count(), 2);
    const QList<Call> got = calls(spy);
    QCOMPARE(got.at(0).name, QStringLiteral("applicationStateChanged"));
    QCOMPARE(got.at(0).data, (QVariantMap{{"state_code", 4}}));
    QCOMPARE(got.at(1).data, (QVariantMap{{"state_code", 2}}));
}

void tst_JSInterface::onWindowCloseSendsNoticeAndDoesNotQuit()
{
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    QTimer::singleShot(0, m_js.data(), [this] { m_js->onWindowClose(); });
    // Had the close quit, the loop would have ended with its code instead.
    QTimer::singleShot(0, this, [] { QCoreApplication::exit(41); });
    QCOMPARE(QCoreApplication::exec(), 41);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(calls(spy).first().name, QStringLiteral("onApplicationClose"));
    QCOMPARE(calls(spy).first().data, QVariantMap());
}

void tst_JSInterface::exitApplicationEndsLoopWithCode()
{
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    QTimer::singleShot(0, m_js.data(), [this] { m_js->exitApplication("x", 3); });
    // Guard: a loop that does not end would hang the test.
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, this, [] { QCoreApplication::exit(-99); });
    guard.start(20000);
    QCOMPARE(QCoreApplication::exec(), 3);
    QCOMPARE(spy.count(), 0);
}

void tst_JSInterface::openUrlPlatformDef_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("result");
    QTest::newRow("handled scheme") << "tamberlintest://course/page?x=1" << true;
    QTest::newRow("empty url") << "" << false;
}

void tst_JSInterface::openUrlPlatformDef()
{
    QFETCH(QString, url);
    QFETCH(bool, result);
    QDesktopServices::setUrlHandler("tamberlintest", this, "handleUrl");
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    m_js->openUrlPlatformDef("o", url);
    QDesktopServices::unsetUrlHandler("tamberlintest");
    QCOMPARE(spy.count(), 1);
    QCOMPARE(calls(spy).first().name, QStringLiteral("openUrlPlatformDefFinish"));
    QCOMPARE(calls(spy).first().data, (QVariantMap{{"uuid", "o"}, {"result", result}}));
    QCOMPARE(m_openedUrls.size(), result ? 1 : 0);
    if (result)
        QCOMPARE(m_openedUrls.first(), QUrl(url));
}

void tst_JSInterface::fileDialog_data()
{
    QTest::addColumn<bool>("open");
    QTest::addColumn<QString>("choice"); // file name in the temporary folder, empty = cancel
    QTest::addColumn<qint64>("size");
    QTest::newRow("open an existing file") << true << "chosen.txt" << qint64(5);
    QTest::newRow("open cancelled: 609") << true << "" << qint64(0);
    QTest::newRow("save a new file: size 0") << false << "new.txt" << qint64(0);
    QTest::newRow("save cancelled: 609") << false << "" << qint64(0);
}

void tst_JSInterface::fileDialog()
{
    QFETCH(bool, open);
    QFETCH(QString, choice);
    QFETCH(qint64, size);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString existing = dir.filePath("chosen.txt");
    {
        QFile f(existing);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("hello");
    }
    const QString target = choice.isEmpty() ? QString() : dir.filePath(choice);

    // Answers the dialog from inside its own event loop.
    QString seenTitle;
    QTimer answer;
    QElapsedTimer clock;
    clock.start();
    connect(&answer, &QTimer::timeout, this, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog) {
            if (clock.elapsed() > 20000 && QApplication::activeModalWidget())
                QApplication::activeModalWidget()->close();
            return;
        }
        answer.stop();
        seenTitle = dialog->windowTitle();
        if (target.isEmpty()) {
            dialog->reject();
        } else {
            // Typed, as a user would: selectFile() races with the
            // dialog's directory loading.
            auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            if (name)
                name->setText(target);
            else
                dialog->selectFile(target);
            static_cast<QDialog *>(dialog)->accept(); // public there
        }
    });
    answer.start(20);

    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        QTest::ignoreMessage(QtWarningMsg, "This plugin does not support propagateSizeHints()");
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    QSignalSpy visibility(m_js.data(), &JSInterface::setWebViewVisibility);
    if (open)
        m_js->getOpenFileName("d", "Pick one", dir.path(), "Text (*.txt)");
    else
        m_js->getSaveFileName("d", "Save as", dir.path(), "Text (*.txt)");

    QCOMPARE(seenTitle, QString(open ? "Pick one" : "Save as"));
    QCOMPARE(visibility.count(), 2);
    QCOMPARE(visibility.at(0).at(0).toBool(), false);
    QCOMPARE(visibility.at(1).at(0).toBool(), true);
    QCOMPARE(spy.count(), 1);
    const Call call = calls(spy).first();
    if (target.isEmpty()) {
        QCOMPARE(call.name, QString(open ? "getOpenFileNameError" : "getSaveFileNameError"));
        QCOMPARE(call.data, (QVariantMap{{"uuid", "d"}, {"code", 609}}));
        return;
    }
    QCOMPARE(call.name, QString(open ? "getOpenFileNameFinish" : "getSaveFileNameFinish"));
    const QVariantMap expected{{"uuid", "d"},
                               {"filepath", target},
                               {"filename", choice},
                               {"filedir", QFileInfo(target).absolutePath()},
                               {"size", size}};
    QCOMPARE(call.data, expected);
}

void tst_JSInterface::fileSystemCallsCarryUuid()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    const QString missing = dir.filePath("missing");
    m_js->fsItemsInfo("fs", {{"item", missing}});
    QTRY_COMPARE(spy.count(), 1);
    const Call call = calls(spy).first();
    QCOMPARE(call.name, QStringLiteral("fsItemsInfoFinish"));
    QCOMPARE(call.data.value("uuid").toString(), QStringLiteral("fs"));
    QCOMPARE(call.data.value("item").toMap().value("file_path").toString(), missing);
    QCOMPARE(call.data.value("item").toMap().value("exists").toBool(), false);
    QCOMPARE(m_js->runningTaskCount(), 0);
}

void tst_JSInterface::bridgeForwardsCallsAndEvents()
{
    DesktopBridge bridge(new EmptyArchive, nullptr);
    QSignalSpy spy(&bridge, &DesktopBridge::invokeJSCall);
    bridge.initialize("b");
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("initializeDone"));
    QCOMPARE(spy.at(0).at(1).toMap().value("uuid").toString(), QStringLiteral("b"));

    emit bridge.applicationEvent(fileOpenEvent("file:///via-bridge"));
    bridge.initializePlugin("p", "Application", {});
    QTRY_COMPARE(spy.count(), 3);
    QCOMPARE(spy.at(1).at(0).toString(), QStringLiteral("initializePluginDone"));
    QCOMPARE(spy.at(2).at(0).toString(), QStringLiteral("applicationEvent"));
    QCOMPARE(spy.at(2).at(1).toMap().value("url").toUrl(), QUrl("file:///via-bridge"));

    bridge.stateChanged(Qt::ApplicationActive);
    QTRY_COMPARE(spy.count(), 4);
    QCOMPARE(spy.at(3).at(0).toString(), QStringLiteral("applicationStateChanged"));
    bridge.onWindowClose();
    QCOMPARE(spy.at(4).at(0).toString(), QStringLiteral("onApplicationClose"));
}

// What a page finds on shellInterface: the allowed methods, plus the
// deleteLater that Qt publishes for every QObject (and refuses to run).
void tst_JSInterface::publishedSurface()
{
    QStringList own;
    const QMetaObject &meta = DesktopBridge::staticMetaObject;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod m = meta.method(i);
        if (m.access() == QMetaMethod::Public && m.methodType() != QMetaMethod::Signal)
            own.append(QString::fromLatin1(m.name()));
    }
    QStringList allowed = DesktopBridge::allowedPageMethods();
    std::sort(own.begin(), own.end());
    std::sort(allowed.begin(), allowed.end());
    QCOMPARE(own, allowed);

    DesktopBridge bridge(new EmptyArchive, nullptr);
    QWebChannel channel;
    PageTransport page;
    channel.registerObject("shellInterface", &bridge);
    channel.connectTo(&page);
    page.receive({{"type", 3}, {"id", 1}}); // init
    QCOMPARE(page.received.size(), 1);
    const QJsonObject info =
        page.received.first().value("data").toObject().value("shellInterface").toObject();
    QStringList published;
    for (const QJsonValue &m : info.value("methods").toArray()) {
        const QString name = m.toArray().at(0).toString();
        if (!name.contains('('))
            published.append(name);
    }
    QStringList expected = allowed;
    expected.append("deleteLater");
    std::sort(published.begin(), published.end());
    std::sort(expected.begin(), expected.end());
    QCOMPARE(published, expected);

    QStringList publishedSignals;
    for (const QJsonValue &s : info.value("signals").toArray()) {
        const QString name = s.toArray().at(0).toString();
        if (!name.contains('('))
            publishedSignals.append(name);
    }
    std::sort(publishedSignals.begin(), publishedSignals.end());
    QCOMPARE(publishedSignals, (QStringList{"applicationEvent", "destroyed", "invokeJSCall"}));
}

void tst_JSInterface::pageCannotDeleteBridge()
{
    auto *bridge = new DesktopBridge(new EmptyArchive, nullptr);
    const QPointer<DesktopBridge> watch(bridge);
    QWebChannel channel;
    PageTransport page;
    channel.registerObject("shellInterface", bridge);
    channel.connectTo(&page);
    page.receive({{"type", 3}, {"id", 1}});
    const QJsonObject info =
        page.received.first().value("data").toObject().value("shellInterface").toObject();
    int deleteIndex = -1;
    int signalIndex = -1;
    for (const QJsonValue &m : info.value("methods").toArray())
        if (m.toArray().at(0).toString() == "deleteLater")
            deleteIndex = m.toArray().at(1).toInt();
    for (const QJsonValue &s : info.value("signals").toArray())
        if (s.toArray().at(0).toString() == "invokeJSCall")
            signalIndex = s.toArray().at(1).toInt();
    QVERIFY(deleteIndex >= 0);
    QVERIFY(signalIndex >= 0);

    // By index, as qwebchannel.js sends it, and by name.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Not deleting non-wrapped object"));
    page.receive({{"type", 6}, {"object", "shellInterface"}, {"method", deleteIndex},
                  {"args", QJsonArray()}, {"id", 2}});
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Not deleting non-wrapped object"));
    page.receive({{"type", 6}, {"object", "shellInterface"}, {"method", "deleteLater"},
                  {"args", QJsonArray()}, {"id", 3}});
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    QVERIFY(!watch.isNull());

    // The bridge still answers the page.
    page.received.clear();
    page.receive({{"type", 7}, {"object", "shellInterface"}, {"signal", signalIndex}});
    page.receive({{"type", 6}, {"object", "shellInterface"}, {"method", "initialize"},
                  {"args", QJsonArray{"after"}}, {"id", 4}});
    bool answered = false;
    for (const QJsonObject &message : qAsConst(page.received)) {
        if (message.value("type").toInt() == 1 && message.value("signal").toInt() == signalIndex) {
            const QJsonArray args = message.value("args").toArray();
            answered = args.at(0).toString() == "initializeDone"
                && args.at(1).toObject().value("uuid").toString() == "after";
        }
    }
    QVERIFY(answered);
    channel.deregisterObject(bridge);
    delete bridge;
}

void tst_JSInterface::bridgeRefusesDeferredDelete()
{
    auto *bridge = new DesktopBridge(new EmptyArchive, nullptr);
    const QPointer<DesktopBridge> watch(bridge);
    QTest::ignoreMessage(QtWarningMsg, "refused to delete the bridge through deleteLater");
    bridge->deleteLater();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!watch.isNull());
    delete bridge;
    QVERIFY(watch.isNull());
}

QTEST_MAIN(tst_JSInterface)
#include "tst_jsinterface.moc"
