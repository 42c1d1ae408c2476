// Other local processes writing to the single-instance socket: a flood of
// megabyte frames must not grow the program's memory or its log without
// bound, and a normal second start is still served afterwards.

#include "app/qsingleinstance.h"
#include "app/qsingleinstance_p.h"
#include "app/shellapplication.h"
#include "app/shelllog.h"
#include "plugins/application/capplication.h"

#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

namespace {

QByteArray frameOf(const QStringList &args)
{
    const QByteArray payload = args.join(QLatin1Char('\n')).toUtf8();
    QByteArray out(4, Qt::Uninitialized);
    qToLittleEndian<quint32>(quint32(payload.size()), out.data());
    return out + payload;
}

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * 4096 : -1;
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

class tst_ArgumentFlood : public QObject
{
    Q_OBJECT
private slots:
    void floodStaysBounded_data();
    void floodStaysBounded();
    void logRotatesAtLimit();
};

void tst_ArgumentFlood::floodStaysBounded_data()
{
    QTest::addColumn<int>("uriLength");
    QTest::addColumn<int>("urisPerFrame");
    // Each frame about 1 MiB, the most a master accepts.
    QTest::newRow("one 1 MB uri per frame") << 1000 * 1000 << 1;
    QTest::newRow("33 uris of 30 kB per frame") << 30000 << 33;
}

void tst_ArgumentFlood::floodStaysBounded()
{
    QFETCH(int, uriLength);
    QFETCH(int, urisPerFrame);
    constexpr int kFrames = 100;

    QTemporaryDir temp(QDir::tempPath() + QStringLiteral("/af-XXXXXX"));
    qputenv("TMPDIR", temp.path().toLocal8Bit());
    auto *shell = qobject_cast<ShellApplication *>(qApp);
    QSingleInstance instance;
    QSingleInstancePrivate::get(&instance)->startInstance();
    // The wiring of the real program, without QML in between.
    connect(&instance, &QSingleInstance::instanceMessage, shell,
            &ShellApplication::processArguments);
    CApplication application;
    connect(shell, &ShellApplication::applicationEvent, &application,
            &CApplication::applicationEvent);
    // Counted, not kept: a spy would hold every megabyte itself.
    int messages = 0;
    connect(&instance, &QSingleInstance::instanceMessage, this, [&messages] { ++messages; });

    const QString log = ShellLog::fileName();
    const qint64 logBefore = QFileInfo(log).size();
    const qint64 rssBefore = residentBytes();
    // Into the program's log, not QtTest's (which replaces the handler).
    const QtMessageHandler testHandler = qInstallMessageHandler(&ShellLog::messageHandler);

    QStringList hostile{QStringLiteral("intruder")};
    for (int i = 0; i < urisPerFrame; ++i)
        hostile << QStringLiteral("--open-uri=x://") + QString(uriLength, QLatin1Char('a' + i % 26));
    const QByteArray frame = frameOf(hostile);
    QVERIFY(frame.size() <= int(QSingleInstancePrivate::MaxPayloadSize) + 4);
    int delivered = 0;
    while (delivered < kFrames && deliver(instance.instanceID(), frame))
        ++delivered;
    // A normal second start after the flood: acknowledged, and its URI waits
    // for the page as the newest event.
    const bool normalServed = deliver(
        instance.instanceID(),
        frameOf({QStringLiteral("Tamberlin"), QStringLiteral("--open-uri=x://lesson/7")}));
    QTRY_COMPARE_WITH_TIMEOUT(messages, delivered + int(normalServed), 20000);
    QTRY_VERIFY(application.pendingEventCount() > 0);
    QCoreApplication::processEvents();
    qInstallMessageHandler(testHandler);
    QCOMPARE(delivered, kFrames);
    QVERIFY(normalServed);
    QVERIFY(application.pendingEventCount() <= CApplication::MaxPendingEvents);

    const qint64 rssGrowth = residentBytes() - rssBefore;
    const qint64 logGrowth = QFileInfo(log).size() - logBefore;
    qInfo("%d frames of %d bytes: resident memory +%lld kB, log +%lld bytes", kFrames,
          int(frame.size()), rssGrowth / 1024, logGrowth);
    // Before the bounds: +200 MB resident and 157 MB of log for such a flood.
    QVERIFY2(rssGrowth < 64 * 1024 * 1024, qPrintable(QString::number(rssGrowth)));
    QVERIFY2(logGrowth < 512 * 1024, qPrintable(QString::number(logGrowth)));

    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY(text.contains("\"--open-uri=x://lesson/7\")"));
    // The queue overflowed (when the uris were short enough to be queued)
    // and said so once.
    const int overflowWarnings = text.count("application events wait for the page");
    QCOMPARE(overflowWarnings, uriLength <= ShellApplication::MaxOpenUriLength ? 1 : 0);
}

void tst_ArgumentFlood::logRotatesAtLimit()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("appLogs.txt"));
    const QString restore = ShellLog::fileName();
    constexpr qint64 kLimit = 64 * 1024;
    QVERIFY(ShellLog::open(path, kLimit));
    const QtMessageHandler previous = qInstallMessageHandler(&ShellLog::messageHandler);
    for (int i = 0; i < 2000; ++i)
        qInfo("line %05d %s", i, QByteArray(60, 'x').constData());
    qInstallMessageHandler(previous);
    ShellLog::open(restore);

    const QString older = ShellLog::previousFileName(path);
    QCOMPARE(QFileInfo(older).fileName(), QStringLiteral("appLogs.1.txt"));
    QVERIFY(QFileInfo(path).size() <= kLimit);
    QVERIFY(QFileInfo(older).size() <= kLimit);
    QFile current(path);
    QFile previousFile(older);
    QVERIFY(current.open(QIODevice::ReadOnly) && previousFile.open(QIODevice::ReadOnly));
    const QByteArray now = current.readAll();
    const QByteArray before = previousFile.readAll();
    // Nothing lost at the cut: the previous file ends where the current begins.
    QVERIFY(now.endsWith("line 01999 " + QByteArray(60, 'x') + "\r\n"));
    const int firstInCurrent = now.mid(now.indexOf("line ") + 5, 5).toInt();
    QVERIFY(before.endsWith(QByteArray("line ") + QByteArray::number(firstInCurrent - 1).rightJustified(5, '0')
                            + ' ' + QByteArray(60, 'x') + "\r\n"));
}

int main(int argc, char **argv)
{
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvane"));
    QCoreApplication::setApplicationName(QStringLiteral("TamberlinFlood"));
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "offscreen");

    int count = argc;
    ShellApplication app(count, argv);
    tst_ArgumentFlood test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, count, argv);
}

#include "tst_argumentflood.moc"
