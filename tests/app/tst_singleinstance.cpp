// The single-instance protocol in one process: a real master, a scripted one.

#include "app/clientinstance.h"
#include "app/qsingleinstance.h"
#include "app/qsingleinstance_p.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QByteArray header(quint32 size)
{
    QByteArray out(4, Qt::Uninitialized);
    qToLittleEndian<quint32>(size, out.data());
    return out;
}

QByteArray frameOf(const QStringList &args)
{
    const QByteArray payload = args.join(QLatin1Char('\n')).toUtf8();
    return header(quint32(payload.size())) + payload;
}

// A socket file nobody listens on, as a killed master leaves it.
bool makeDeadSocket(const QString &path)
{
    QLocalServer server;
    const QString bound = path + QStringLiteral(".bound");
    return server.listen(bound) && QFile::rename(bound, path);
}

} // namespace

class tst_SingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void instanceId_data();
    void instanceId();

    void clientFrame_data();
    void clientFrame();

    void startupFailureSkipsEventLoop();

    void clientExitCode_data();
    void clientExitCode();

private:
    QString m_tempRoot;
    QScopedPointer<QTemporaryDir> m_temp;
};

void tst_SingleInstance::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Tamberlin"));
    m_tempRoot = QDir::tempPath();
}

// Lock file and socket in a folder of each test's own; short, for a socket address.
void tst_SingleInstance::init()
{
    m_temp.reset(new QTemporaryDir(m_tempRoot + QStringLiteral("/si-XXXXXX")));
    QVERIFY(m_temp->isValid());
    qputenv("TMPDIR", m_temp->path().toLocal8Bit());
}

void tst_SingleInstance::instanceId_data()
{
    QTest::addColumn<QString>("organization");
    QTest::addColumn<QString>("application");
    QTest::addColumn<bool>("global");
    QTest::addColumn<QString>("session");
    QTest::addColumn<QString>("expected");

    QTest::newRow("the program, in session 0x2a") << "Kelvane" << "Tamberlin" << false << "2a" << "qsingleinstance-tamberli-14d7-2a";
    QTest::newRow("blank and punctuation removed, lower case") << "Org" << "My App!" << false << "1" << "qsingleinstance-myapp-fdfd-1";
    QTest::newRow("underscore and digits kept, non-ASCII removed, global: no session")
        << "" << QString::fromUtf8("a_1ž2") << true << "" << "qsingleinstance-a_12-aace";
}

void tst_SingleInstance::instanceId()
{
    QFETCH(QString, organization);
    QFETCH(QString, application);
    QFETCH(bool, global);
    QFETCH(QString, session);
    QFETCH(QString, expected);

    QCOMPARE(QSingleInstancePrivate::makeInstanceId(organization, application, global, session),
             expected);
}

// Only a whole frame is acknowledged; too much or too little drops the client.
void tst_SingleInstance::clientFrame_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QStringList>("expected"); // empty: dropped, never acknowledged
    QTest::addColumn<QString>("warning");      // regular expression, empty = none

    const QStringList args{QStringLiteral("/opt/Tamberlin"), QStringLiteral("--open-uri=x:/y")};
    const QByteArray whole = frameOf(args);

    QTest::newRow("whole frame in one write") << QList<QByteArray>{whole} << args << QString();

    // Splits the header and every UTF-8 character as well.
    const QStringList utf8{QStringLiteral("prog"),
                           QString::fromUtf8("--open-uri=kurz://Žluťoučký kůň/ü")};
    QList<QByteArray> bytes;
    for (char c : frameOf(utf8))
        bytes << QByteArray(1, c);
    QTest::newRow("every byte on its own") << bytes << utf8 << QString();

    const QByteArray limit(int(QSingleInstancePrivate::MaxPayloadSize), 'a');
    QTest::newRow("payload at the limit") << QList<QByteArray>{header(quint32(limit.size())) + limit}
                                          << QStringList{QString::fromLatin1(limit)} << QString();

    const QString tooBig = QStringLiteral("^Client announced \\d+ bytes of arguments, more than "
                                          "1048576 - connection dropped$");
    const QString late = QStringLiteral("^Client did not send its arguments in time - "
                                        "connection dropped$");
    QTest::newRow("limit plus one byte")
        << QList<QByteArray>{header(quint32(QSingleInstancePrivate::MaxPayloadSize + 1)) + "garbage"}
        << QStringList() << tooBig;
    QTest::newRow("sign bit only (negative as qint32)")
        << QList<QByteArray>{header(0x80000000u) + "garbage"} << QStringList() << tooBig;
    QTest::newRow("connects and sends nothing") << QList<QByteArray>() << QStringList() << late;
    QTest::newRow("length but short payload")
        << QList<QByteArray>{header(10) + "abc"} << QStringList() << late;
}

void tst_SingleInstance::clientFrame()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QStringList, expected);
    QFETCH(QString, warning);

    QSingleInstance master;
    QSingleInstancePrivate *d = QSingleInstancePrivate::get(&master);
    d->startInstance();
    d->timeout = 1000;
    auto connections = [d] { return d->findChildren<ClientInstance *>().size(); };
    QSignalSpy messages(&master, &QSingleInstance::instanceMessage);
    QStringList order;
    master.setNotifyFunction([&] { order << QStringLiteral("notify"); });
    connect(&master, &QSingleInstance::instanceMessage, this,
            [&](const QStringList &) { order << QStringLiteral("message"); });
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));

    QLocalSocket client;
    client.connectToServer(master.instanceID());
    QVERIFY(client.waitForConnected(5000));
    QTRY_COMPARE(connections(), 1);
    for (const QByteArray &chunk : chunks) {
        QCOMPARE(client.bytesAvailable(), qint64(0));  // no early "ACK"
        client.write(chunk);
        QVERIFY(client.flush());
        // Let the master read this piece on its own before the next arrives.
        QCoreApplication::processEvents();
    }

    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::UnconnectedState, 20000);
    QTRY_COMPARE(connections(), 0);
    const bool whole = !expected.isEmpty();
    QCOMPARE(client.readAll(), whole ? QByteArray("ACK") : QByteArray());
    QTRY_COMPARE(messages.count(), int(whole));
    if (whole) {
        QCOMPARE(messages.at(0).at(0).toStringList(), expected);
        QCOMPARE(order, (QStringList{QStringLiteral("notify"), QStringLiteral("message")}));
    }

    QLocalSocket next;
    next.connectToServer(master.instanceID());
    QVERIFY(next.waitForConnected(5000));
    next.write(frameOf({QStringLiteral("next")}));
    QTRY_COMPARE(next.bytesAvailable(), qint64(3));
    QTRY_COMPARE(messages.count(), int(whole) + 1);
    QCOMPARE(messages.last().at(0).toStringList(), QStringList{QStringLiteral("next")});
}

void tst_SingleInstance::startupFailureSkipsEventLoop()
{
    QSingleInstance instance;
    QVERIFY(instance.setStartupFunction([] { return 3; }));
    // Were the event loop entered, nothing would end it and the test would hang.
    QCOMPARE(instance.singleExec(true), 3);
    QLockFile lock(QSingleInstancePrivate::get(&instance)->lockFilePath);
    QVERIFY(lock.tryLock(0));
}

void tst_SingleInstance::clientExitCode_data()
{
    QTest::addColumn<QString>("master");      // how the scripted master behaves
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("warning");     // regular expression, empty = none

    const QString failed = QStringLiteral("^Failed to transfer arguments to master with error: \".+\"$");
    QTest::newRow("acknowledged in two pieces") << "A|CK" << 0 << QString();
    QTest::newRow("wrong reply") << "NAK" << -1 << "^Master didn't ackknowledge the sent arguments$";
    QTest::newRow("master closes without reply") << "close" << int(QLocalSocket::PeerClosedError) << failed;
    QTest::newRow("master never answers") << "silent" << 5 << "^Master did not respond in time$";
    // Its listen queue full: the connection neither succeeds nor fails.
    QTest::newRow("master's queue full") << "full" << 5 << "^Master did not respond in time$";
    QTest::newRow("nobody listens") << "absent" << int(QLocalSocket::ServerNotFoundError) << failed;
    // Connection refused is error number 0: it must not end as a success.
    QTest::newRow("dead master's socket, nobody ever listens")
        << "stale:absent" << int(QLocalSocket::ConnectionError) << failed;
    QTest::newRow("dead master's socket, new master listens late") << "stale:ACK" << 0 << QString();
}

void tst_SingleInstance::clientExitCode()
{
    QFETCH(QString, master);
    QFETCH(int, exitCode);
    QFETCH(QString, warning);

    QSingleInstance instance;
    QSingleInstancePrivate *d = QSingleInstancePrivate::get(&instance);
    d->timeout = 1500;
    bool startupRan = false;
    instance.setStartupFunction([&] { startupRan = true; return 0; });
    QLockFile masterLock(d->lockFilePath);
    QVERIFY(masterLock.tryLock(0));

    QString behaviour = master;
    if (behaviour.startsWith(QStringLiteral("stale:"))) {
        behaviour = behaviour.section(QLatin1Char(':'), 1);
        QVERIFY(makeDeadSocket(m_temp->path() + QLatin1Char('/') + instance.instanceID()));
    }

    int full[2] = {-1, -1}; // a listener with a queue of one, and the one
    auto closeFull = qScopeGuard([&full] { ::close(full[0]); ::close(full[1]); });
    if (behaviour == QLatin1String("full")) {
        sockaddr_un address{AF_UNIX, {}};
        qstrncpy(address.sun_path, QFile::encodeName(m_temp->filePath(instance.instanceID())).constData(),
                 sizeof address.sun_path);
        full[0] = ::socket(AF_UNIX, SOCK_STREAM, 0);
        full[1] = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const auto *a = reinterpret_cast<const sockaddr *>(&address);
        QVERIFY(::bind(full[0], a, sizeof address) == 0 && ::listen(full[0], 0) == 0
                && ::connect(full[1], a, sizeof address) == 0);
    }

    QLocalServer server;
    QByteArray received;
    connect(&server, &QLocalServer::newConnection, this, [&] {
        QLocalSocket *socket = server.nextPendingConnection();
        connect(socket, &QLocalSocket::readyRead, socket, [&, socket] {
            received += socket->readAll();
            if (received.size() < 4
                || received.size() < 4 + int(qFromLittleEndian<quint32>(received.constData())))
                return;
            if (behaviour == QLatin1String("close")) {
                socket->abort();
            } else if (behaviour.contains(QLatin1Char('|'))) {
                socket->write(behaviour.section(QLatin1Char('|'), 0, 0).toLatin1());
                socket->flush();
                const QByteArray rest = behaviour.section(QLatin1Char('|'), 1).toLatin1();
                QTimer::singleShot(50, socket, [socket, rest] { socket->write(rest); });
            } else if (behaviour != QLatin1String("silent")) {
                socket->write(behaviour.toLatin1());
            }
        });
    });
    auto listen = [&] {
        QLocalServer::removeServer(instance.instanceID());
        QVERIFY(server.listen(instance.instanceID()));
    };
    // Late, as a master still starting: the client retries until it listens.
    if (behaviour != QLatin1String("absent") && behaviour != QLatin1String("full"))
        QTimer::singleShot(300, this, listen);

    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    QCOMPARE(instance.singleExec(true), exitCode);
    QVERIFY(!startupRan);
}

QTEST_GUILESS_MAIN(tst_SingleInstance)
#include "tst_singleinstance.moc"
