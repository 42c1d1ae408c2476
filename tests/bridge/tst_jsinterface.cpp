// The dispatcher in process: answers, the task registry, the Application
// plugin's event queue, the file dialogs, and the page's method list against
// the client library (the real page: tst_shellwindow).

#include "bridge/desktopbridge.h"
#include "bridge/jsinterface.h"
#include "bridge/qmlevent.h"
#include "plugins/application/capplication.h"
#include "plugins/network/cnetwork.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <utility>

namespace {

QString nameAt(const QSignalSpy &spy, int i) { return spy.at(i).at(0).toString(); }
QVariantMap dataAt(const QSignalSpy &spy, int i) { return spy.at(i).at(1).toMap(); }

QMLEvent fileOpenEvent(const QString &url) { return QMLEvent(new QMLFileOpenEvent(QUrl(url))); }

ResponsePtr named(const QString &name, const QVariantMap &data = {}, int type = 0)
{
    return ResponsePtr(new IResponse(data, name, type));
}

QString sdkSource(const QString &name)
{
    QFile file(QStringLiteral(TAMBERLIN_SOURCE_DIR "/sdk/") + name);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QStringList sorted(QStringList list) { list.sort(); return list; }

QStringList listed(const QMap<QString, int> &arities)
{
    QStringList out;
    for (auto it = arities.cbegin(); it != arities.cend(); ++it)
        out << QStringLiteral("%1(%2)").arg(it.key()).arg(it.value());
    return out;
}

// "name(argument count)" of each match of pattern, which ends where the
// arguments begin; overloads count with their most arguments.
QStringList arities(const QString &text, const QString &pattern, int add = 0)
{
    QMap<QString, int> out;
    auto it = QRegularExpression(pattern, QRegularExpression::MultilineOption).globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        int depth = 0, commas = 0;
        bool any = false;
        for (int i = match.capturedEnd(); depth >= 0 && i < text.size(); ++i) {
            const QChar c = text.at(i);
            depth += int(QStringLiteral("([{<").contains(c))
                - int(QStringLiteral(")]}>").contains(c) && text.at(i - 1) != '='); // not "=>"
            commas += int(depth == 0 && c == ',');
            any = any || (depth >= 0 && !c.isSpace());
        }
        out[match.captured(1)] = qMax(out.value(match.captured(1)), (any ? commas + 1 : 0) + add);
    }
    return listed(out);
}

} // namespace

class tst_JSInterface : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void initializePlugin_data();
    void initializePlugin();
    void eventsQueuedUntilInitialized();
    void delivery_data();
    void delivery();
    void taskReleasedAfterItsSignal();
    void fileDialog_data();
    void fileDialog();
    void pageMethodsMatchClientLibrary();
    void pageRefusals();

private:
    QScopedPointer<JSInterface> m_js;
};

void tst_JSInterface::init()
{
    m_js.reset(new JSInterface(nullptr));
    // An online-state change would add a networkStatusChange to the spies.
    m_js->network()->disconnect(m_js.data());
}

void tst_JSInterface::cleanup()
{
    m_js.reset();
}

void tst_JSInterface::initializePlugin_data()
{
    QTest::addColumn<QString>("plugin");
    QTest::addColumn<QString>("callback");
    QTest::addColumn<QVariantMap>("payload"); // besides uuid

    const QVariantMap none, unknown{{"code", 607}};
    // Without a QML layer no camera view comes up.
    QTest::newRow("Camera without a view") << "Camera" << "initializePluginFail"
        << QVariantMap{{"code", 608}, {"message", "The camera view could not be opened"}};
    QTest::newRow("AudioPlayer at once, no empty task") << "AudioPlayer" << "initializePluginDone" << none;
    QTest::newRow("wrong case, blank") << "application " << "initializePluginFail" << unknown;
}

void tst_JSInterface::initializePlugin()
{
    QFETCH(QString, plugin);
    QFETCH(QString, callback);
    QFETCH(QVariantMap, payload);

    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    m_js->initializePlugin("u1", plugin, {{"path", "ignored"}});
    QCOMPARE(spy.count(), 1);
    QCOMPARE(m_js->runningTaskCount(), 0);
    payload.insert("uuid", "u1");
    QCOMPARE(nameAt(spy, 0), callback);
    QCOMPARE(dataAt(spy, 0), payload);
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), 1);
}

void tst_JSInterface::eventsQueuedUntilInitialized()
{
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    emit m_js->applicationEvent(fileOpenEvent("file:///first"));
    emit m_js->applicationEvent(fileOpenEvent("file:///second"));
    QTest::ignoreMessage(QtWarningMsg, "ignored an application event without data");
    emit m_js->applicationEvent(QMLEvent());
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), 0);
    QCOMPARE(m_js->application()->pendingEventCount(), 2);

    // An event raised during the initialisation answer must not overtake the queue.
    bool raised = false;
    connect(m_js.data(), &JSInterface::invokeJSCall, this, [&](const QString &name) {
        if (name == "initializePluginDone" && !std::exchange(raised, true))
            emit m_js->applicationEvent(fileOpenEvent("file:///late"));
    });
    m_js->initializePlugin("app", "Application", {});
    QTRY_COMPARE(spy.count(), 4);
    // The initialisation first, then the events in the order they happened.
    QCOMPARE(nameAt(spy, 0), QStringLiteral("initializePluginDone"));
    const QStringList urls{"file:///first", "file:///second", "file:///late"};
    for (int i = 1; i <= 3; ++i) {
        QCOMPARE(nameAt(spy, i), QStringLiteral("applicationEvent"));
        QCOMPARE(dataAt(spy, i).value("url").toUrl(), QUrl(urls.at(i - 1)));
    }

    emit m_js->applicationEvent(fileOpenEvent("file:///third"));
    QCOMPARE(spy.count(), 5);
    QCOMPARE(dataAt(spy, 4).value("url").toUrl(), QUrl("file:///third"));
    // A second initialisation answers once and sends no event twice.
    m_js->initializePlugin("again", "Application", {});
    QTRY_COMPARE(spy.count(), 6);
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), 6);
    QCOMPARE(dataAt(spy, 5).value("uuid").toString(), QStringLiteral("again"));
}

// Answers carry the request's uuid, whatever the plugin put there, progress
// first; however a task ends, even unheard or empty-handed, its entry goes.
void tst_JSInterface::delivery_data()
{
    QTest::addColumn<int>("heard"); // JSInterface::Deliveries
    // n notify, r resolve, j reject, c cancel; s resolves inside start(), e is
    // pool work without a result
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QStringList>("expected");
    const int all = JSInterface::Resolved | JSInterface::Rejected | JSInterface::Notified;
    const int resolved = JSInterface::Resolved;
    QTest::newRow("progress, then the end")
        << all << "nnr" << QStringList{"progress", "progress", "done"};
    QTest::newRow("reject of a resolve-only call") << resolved << "j" << QStringList();
    QTest::newRow("cancel") << all << "c" << QStringList();
    QTest::newRow("resolved inside start") << resolved << "s" << QStringList{"done"};
    QTest::newRow("pool work without a result") << all << "e" << QStringList();
}

void tst_JSInterface::delivery()
{
    QFETCH(int, heard);
    QFETCH(QString, steps);
    QFETCH(QStringList, expected);
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    const QVariantMap data{{"uuid", "from-plugin"}, {"x", 1}};
    const auto plain = Task::CTask::create();
    QSharedPointer<Task::ITask> task = plain;
    if (steps == "e") {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("produced no response"));
        task = Task::onPool([] { return ResponsePtr(); });
    } else if (steps == "s") {
        connect(plain.data(), &Task::CTask::started, plain.data(),
                [&] { plain->resolve(named("done", data)); }, Qt::DirectConnection);
    }
    m_js->deliver(task, "request", JSInterface::Deliveries(heard));
    QCOMPARE(m_js->isRegistered(task->id()), steps != "s");
    for (const QChar step : steps) {
        if (step == 'n')
            task->notify(named("progress", data));
        else if (step == 'r')
            task->resolve(named("done", data));
        else if (step == 'j')
            task->reject(named("failed", data, IResponse::Rejected));
        else if (step == 'c')
            task->cancel();
    }
    QTRY_COMPARE(m_js->runningTaskCount(), 0);
    QCOMPARE(spy.count(), expected.size());
    for (int i = 0; i < spy.count(); ++i) {
        QCOMPARE(nameAt(spy, i), expected.at(i));
        QCOMPARE(dataAt(spy, i), (QVariantMap{{"uuid", "request"}, {"x", 1}}));
    }
}

// Released only after its ending signal has returned, deferred deleter or not;
// a task that outlives the dispatcher reaches nobody.
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
    connect(raw, &Task::ITask::onResolved, raw, [&] { alive = !watch.isNull(); }, Qt::DirectConnection);
    raw->resolve(named("x"));
    QVERIFY(alive);
    QTRY_VERIFY(watch.isNull());

    const auto task = Task::CTask::create();
    m_js->deliver(task, "o", JSInterface::Resolved);
    m_js.reset();
    task->resolve(named("late"));
    QVERIFY(task->hasEnded());
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
    QFile existing(dir.filePath("chosen.txt"));
    QVERIFY(existing.open(QIODevice::WriteOnly) && existing.write("hello") == 5);
    existing.close();
    const QString target = choice.isEmpty() ? QString() : dir.filePath(choice);

    // Answers the dialog from inside its own event loop, typing the name as a
    // user would: selectFile() races with the dialog's directory loading.
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
        if (target.isEmpty())
            return dialog->reject();
        if (auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
            name->setText(target);
        else
            dialog->selectFile(target);
        static_cast<QDialog *>(dialog)->accept();
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
    QCOMPARE(QList<QVariantList>(visibility), (QList<QVariantList>{{false}, {true}}));
    QCOMPARE(spy.count(), 1);
    const QString prefix = open ? "getOpenFileName" : "getSaveFileName";
    if (target.isEmpty()) {
        QCOMPARE(nameAt(spy, 0), prefix + "Error");
        QCOMPARE(dataAt(spy, 0), (QVariantMap{{"uuid", "d"}, {"code", 609}}));
        return;
    }
    QCOMPARE(nameAt(spy, 0), prefix + "Finish");
    QCOMPARE(dataAt(spy, 0), (QVariantMap{{"uuid", "d"}, {"filepath", target}, {"filename", choice},
                                           {"filedir", QFileInfo(target).absolutePath()},
                                           {"size", size}}));
}

// A method added to the bridge, the client's table or the .d.ts alone, or
// with another argument count, fails here before any page runs.
void tst_JSInterface::pageMethodsMatchClientLibrary()
{
    const QString js = sdkSource("tamberlin.js");
    // A table row sends the uuid first and takes an options object last; the
    // client's own methods call the shell themselves.
    const QStringList table = arities(js, R"(^    (\w+): \[\[)", 1);
    QStringList direct = arities(js, R"(this\.shell\.(\w+)\()");
    QCOMPARE(sorted(table + direct), listed(DesktopBridge::pageMethods()));
    const QString methods = R"(^    (?!constructor)([a-z]\w*)\()";
    QCOMPARE(arities(sdkSource("tamberlin.d.ts"), methods), sorted(table + arities(js, methods)));
    QString named = QRegularExpression(R"(METHOD_NAMES = [^\[]*\[([^\]]*)\])").match(js).captured(1);
    QCOMPARE(sorted(named.remove(QRegularExpression("[\\s']")).split(',')),
             direct.replaceInStrings(QRegularExpression("\\(.*"), QString()));
}

// Every method of the client's table refuses a uuid, and each argument, of a
// kind the channel would have emptied: under the table's failure callback (its
// answer when it has none), naming the argument as the table does.
void tst_JSInterface::pageRefusals()
{
    DesktopBridge bridge(nullptr, nullptr);
    QSignalSpy spy(&bridge, &DesktopBridge::invokeJSCall);
    struct Wrong { QVariant value; QString expected, got; };
    const QHash<QString, Wrong> wrong{{"", {QVariantMap{{"id", 1}}, "text", "an object"}},
                                      {"object", {"x", "an object", "the text \"x\""}},
                                      {"list", {"x", "a list", "the text \"x\""}},
                                      {"texts", {5, "a list of text", "the number 5"}}};
    const QString js = sdkSource("tamberlin.js");
    auto rows = QRegularExpression(R"(^    (\w+): \[\[([^\]]*)\],\s*'(\w+)'(?:,\s*'(\w+))?)",
                                   QRegularExpression::MultilineOption).globalMatch(js);
    int methods = 0;
    for (; rows.hasNext(); ++methods) {
        const QRegularExpressionMatch row = rows.next();
        const QString method = row.captured(1), failure = row.captured(row.lastCapturedIndex());
        const QStringList args = QStringList{"uuid"}
            + row.captured(2).remove(QRegularExpression("[ '?]")).split(',', Qt::SkipEmptyParts);
        for (int bad = 0; bad < args.size(); ++bad) {
            const QString name = args[bad].section(':', 0, 0), kind = args[bad].section(':', 1);
            if (kind == "any")
                continue;
            QVector<QVariant> values(args.size());
            values[0] = "u";
            values[bad] = wrong[kind].value;
            QGenericArgument a[4];
            for (int i = 0; i < values.size(); ++i)
                a[i] = Q_ARG(QVariant, values[i]);
            spy.clear();
            QVERIFY(QMetaObject::invokeMethod(&bridge, qPrintable(method), a[0], a[1], a[2], a[3]));
            const QString message = QStringLiteral("%1: %2 must be %3, got %4")
                                        .arg(method, name, wrong[kind].expected, wrong[kind].got);
            QCOMPARE(spy, (QList<QVariantList>{{failure, QVariantMap{{"uuid", values[0]}, {"code", 606},
                                                                     {"message", message}}}}));
        }
    }
    QCOMPARE(methods, arities(js, R"(^    (\w+): \[\[)").size()); // every row was read
}

Q_IMPORT_PLUGIN(MediaFactory)
QTEST_MAIN(tst_JSInterface)
#include "tst_jsinterface.moc"
