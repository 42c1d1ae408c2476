// The application object: open-URI events, window raising, archive errors in
// event delivery, and a flood of argument frames that must stay bounded.

#include "app/qsingleinstance.h"
#include "app/qsingleinstance_p.h"
#include "app/shellapplication.h"
#include "app/shelllog.h"
#include "bridge/qmlevent.h"
#include "content/archiveexception.h"
#include "plugins/application/capplication.h"

#include <QFile>
#include <QFileOpenEvent>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWindow>
#include <QtTest>

#include <memory>

namespace {

class Thrower : public QObject
{
public:
    int seen = 0;
    bool event(QEvent *e) override
    {
        if (e->type() == QEvent::User) {
            ++seen;
            throw ArchiveException(7, QStringLiteral("entry /webapp/a.js is damaged"));
        }
        return QObject::event(e);
    }
};

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    return statm.open(QIODevice::ReadOnly) ? statm.readAll().split(' ').value(1).toLongLong() * 4096
                                           : -1;
}

// Sends one frame and waits for the master's "ACK".
bool deliver(const QString &server, const QByteArray &frame)
{
    QLocalSocket client;
    client.connectToServer(server);
    if (!client.waitForConnected(5000))
        return false;
    QSignalSpy ready(&client, &QLocalSocket::readyRead);
    client.write(frame);
    // The master runs in this thread: the spy's wait turns its event loop.
    while (client.bytesAvailable() < 3 && ready.wait(20000)) {
    }
    return client.read(3) == "ACK";
}

} // namespace

class tst_ShellApplication : public QObject
{
    Q_OBJECT

private slots:
    void processArguments();
    void onlyFirstWindowRaised();
    void archiveErrorDoesNotEndProgram();
    void argumentFloodStaysBounded_data();
    void argumentFloodStaysBounded();
};

// An empty URI and other arguments give no event; the others keep their order.
void tst_ShellApplication::processArguments()
{
    auto *app = qobject_cast<ShellApplication *>(qApp);
    QVERIFY(app);
    QSignalSpy events(app, &ShellApplication::applicationEvent);
    app->processArguments({QStringLiteral("--open-uri="), QStringLiteral("--open-uri=/a"),
                           QStringLiteral("x"), QStringLiteral("--open-uri=/b")});
    QCOMPARE(events.count(), 0);  // posted, not sent
    QCoreApplication::sendPostedEvents(app, QEvent::FileOpen);
    QList<QUrl> urls;
    for (const QList<QVariant> &event : qAsConst(events))
        urls << event.at(0).value<QMLEvent>().data().value(QStringLiteral("url")).toUrl();
    QCOMPARE(urls, (QList<QUrl>{QUrl::fromLocalFile(QStringLiteral("/a")),
                                QUrl::fromLocalFile(QStringLiteral("/b"))}));
}

void tst_ShellApplication::onlyFirstWindowRaised()
{
    auto first = std::make_unique<QWindow>();
    auto second = std::make_unique<QWindow>();
    const QWindowList windows = QGuiApplication::topLevelWindows();

    QFileOpenEvent open(QStringLiteral("/srv/lesson.kel"));
    QVERIFY(QCoreApplication::sendEvent(qApp, &open));
    QVERIFY(windows.first()->isVisible());
    for (int i = 1; i < windows.size(); ++i)
        QVERIFY(!windows.at(i)->isVisible());
}

void tst_ShellApplication::archiveErrorDoesNotEndProgram()
{
    // Delivered by the event loop, as a page's request is; the error is logged.
    Thrower thrower;
    QTest::ignoreMessage(QtCriticalMsg,
                         "Archive error, code: 7, message: entry /webapp/a.js is damaged.");
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QTRY_COMPARE(thrower.seen, 1);
}

void tst_ShellApplication::argumentFloodStaysBounded_data()
{
    QTest::addColumn<int>("uriLength");
    QTest::addColumn<int>("urisPerFrame");
    QTest::newRow("one 1 MB uri per frame") << 1000 * 1000 << 1;
    QTest::newRow("33 uris of 30 kB per frame") << 30000 << 33;
}

void tst_ShellApplication::argumentFloodStaysBounded()
{
    QFETCH(int, uriLength);
    QFETCH(int, urisPerFrame);
    constexpr qint64 kLogLimit = 16 * 1024;

    QTemporaryDir temp(QDir::tempPath() + QStringLiteral("/af-XXXXXX"));
    qputenv("TMPDIR", temp.path().toLocal8Bit());
    const QString log = temp.filePath(QStringLiteral("appLogs.txt"));
    QVERIFY(ShellLog::open(log, kLogLimit));
    // Into the program's log, not QtTest's (which replaces the handler).
    const QtMessageHandler testHandler = qInstallMessageHandler(&ShellLog::messageHandler);

    // The wiring of the real program, without QML in between.
    auto *shell = qobject_cast<ShellApplication *>(qApp);
    QSingleInstance instance;
    QSingleInstancePrivate::get(&instance)->startInstance();
    connect(&instance, &QSingleInstance::instanceMessage, shell, &ShellApplication::processArguments);
    CApplication application;
    connect(shell, &ShellApplication::applicationEvent, &application, &CApplication::applicationEvent);
    int messages = 0; // counted, not kept: a spy would hold every megabyte
    connect(&instance, &QSingleInstance::instanceMessage, this, [&messages] { ++messages; });

    const qint64 rssBefore = residentBytes();
    QStringList hostile{QStringLiteral("intruder")};
    for (int i = 0; i < urisPerFrame; ++i)
        hostile << QStringLiteral("--open-uri=x://") + QString(uriLength, QLatin1Char('a' + i % 26));
    int delivered = 0;
    while (delivered < 100 && deliver(instance.instanceID(), QSingleInstancePrivate::frame(hostile)))
        ++delivered;
    const bool normalServed = deliver(instance.instanceID(),
        QSingleInstancePrivate::frame({QStringLiteral("Tamberlin"), QStringLiteral("--open-uri=x://lesson/7")}));
    QTRY_COMPARE_WITH_TIMEOUT(messages, delivered + int(normalServed), 20000);
    QTRY_VERIFY(application.pendingEventCount() > 0);
    QCoreApplication::processEvents();
    qInstallMessageHandler(testHandler);
    const qint64 rssGrowth = residentBytes() - rssBefore;
    ShellLog::close();

    QCOMPARE(delivered, 100);
    QVERIFY(normalServed);
    QVERIFY(application.pendingEventCount() <= CApplication::MaxPendingEvents);
    // Before the bounds such a flood cost 200 MB of memory and 157 MB of log.
    QVERIFY2(rssGrowth < 64 * 1024 * 1024, qPrintable(QString::number(rssGrowth)));
    QFile current(log);
    QFile previous(ShellLog::previousFileName(log));
    QVERIFY(current.open(QIODevice::ReadOnly) && previous.open(QIODevice::ReadOnly));
    QVERIFY(current.size() <= kLogLimit && previous.size() <= kLogLimit);
    const QByteArray text = previous.readAll() + current.readAll();
    QVERIFY(text.contains("\"--open-uri=x://lesson/7\")"));
    QVERIFY(text.count("application events wait for the page") <= 1);
    for (const QByteArray &line : text.split('\n'))
        QVERIFY2(line.size() < 4096, line.left(200).constData());
}

int main(int argc, char **argv)
{
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Tamberlin"));
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    // The log location derives from these: keep them inside the test's folder.
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "offscreen");

    int count = argc;
    ShellApplication app(count, argv);

    tst_ShellApplication test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, count, argv);
}

#include "tst_shellapplication.moc"
