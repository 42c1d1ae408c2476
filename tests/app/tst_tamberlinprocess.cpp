// Two and more real Tamberlin processes with their own home and temporary
// folders under a private X server: hand-over to the master, a killed master,
// many clients at once, and hand-written clients against the real master.

#include "tests/support/shelltest.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QWebChannel>
#include <QtEndian>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

QByteArray frameOf(const QStringList &args)
{
    const QByteArray payload = args.join(QLatin1Char('\n')).toUtf8();
    QByteArray out(4, Qt::Uninitialized);
    qToLittleEndian<quint32>(quint32(payload.size()), out.data());
    return out + payload;
}

} // namespace

class tst_TamberlinProcess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void secondInstanceHandsOver();
    void killedMasterDoesNotBlock();
    void twentyClientsAtOnce();
    void handWrittenClients();

private:
    QProcess *startMaster();
    bool waitForListening(int lines);
    QString log() const;
    int count(const QString &text) const { return log().count(text); }
    QString failure(const ShellTest::RunResult &result) const
    {
        return ShellTest::describeFailure(*m_app, nullptr, result);
    }

    ShellTest::Xvfb m_xvfb;
    std::unique_ptr<ShellTest::AppFolder> m_app;
    std::vector<QProcess *> m_processes;
};

void tst_TamberlinProcess::initTestCase()
{
    // Keeps the WebChannel library (and the qwebchannel.js that packCourse
    // copies from its resources) linked into this program.
    QWebChannel channel;
    Q_UNUSED(channel)
    QString error;
    QVERIFY2(m_xvfb.start(&error), qPrintable(error));
}

void tst_TamberlinProcess::init()
{
    m_app = std::make_unique<ShellTest::AppFolder>();
    QVERIFY(m_app->isValid());
    QVERIFY2(m_app->installBinary(), qPrintable(m_app->lastError()));
    QVERIFY2(m_app->packCourse(ShellTest::coursesDir() + QStringLiteral("/blank")),
             qPrintable(m_app->lastError()));
}

void tst_TamberlinProcess::cleanup()
{
    for (QProcess *process : m_processes) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(10000);
        }
        delete process;
    }
    m_processes.clear();
    if (QTest::currentTestFailed())
        qInfo().noquote() << "--- appLogs.txt ---\n" << log();
    m_app.reset();
}

QProcess *tst_TamberlinProcess::startMaster()
{
    QProcess *master = ShellTest::startShell(*m_app, m_xvfb.display());
    m_processes.push_back(master);
    return master;
}

bool tst_TamberlinProcess::waitForListening(int lines)
{
    return QTest::qWaitFor(
        [&] { return count(QStringLiteral("Master instance listening as")) >= lines; }, 60000);
}

QString tst_TamberlinProcess::log() const
{
    QFile file(m_app->logFile());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void tst_TamberlinProcess::secondInstanceHandsOver()
{
    QProcess *master = startMaster();
    QVERIFY(waitForListening(1));

    const ShellTest::RunResult second = ShellTest::runShell(
        *m_app, m_xvfb.display(), {QStringLiteral("--open-uri=tamberlin://lesson/7")}, 60000);
    QVERIFY2(!second.timedOut && second.exitCode == 0, qPrintable(failure(second)));
    QTRY_VERIFY_WITH_TIMEOUT(
        log().contains(QStringLiteral("[info] QSingleInstance: Received arguments from another "
                                      "instance:")),
        10000);
    QVERIFY(log().contains(QStringLiteral("\"--open-uri=tamberlin://lesson/7\"")));
    // The second process became no master and stayed out of the way.
    QCOMPARE(count(QStringLiteral("Master instance listening as")), 1);
    QCOMPARE(master->state(), QProcess::Running);
}

void tst_TamberlinProcess::killedMasterDoesNotBlock()
{
    QProcess *master = startMaster();
    QVERIFY(waitForListening(1));
    master->kill();
    QVERIFY(master->waitForFinished(20000));
    const QDir tmp(m_app->root() + QStringLiteral("/tmp"));
    QCOMPARE(tmp.entryList({QStringLiteral("qsingleinstance-*.lock")}, QDir::Files).size(), 1);

    QProcess *next = startMaster();
    QVERIFY(waitForListening(2));
    const ShellTest::RunResult client = ShellTest::runShell(
        *m_app, m_xvfb.display(), {QStringLiteral("--open-uri=/after-kill")}, 60000);
    QVERIFY2(!client.timedOut && client.exitCode == 0, qPrintable(failure(client)));
    QTRY_VERIFY_WITH_TIMEOUT(log().contains(QStringLiteral("\"--open-uri=/after-kill\"")), 10000);
    QCOMPARE(next->state(), QProcess::Running);
}

void tst_TamberlinProcess::twentyClientsAtOnce()
{
    startMaster();
    QVERIFY(waitForListening(1));

    std::vector<QProcess *> clients;
    for (int i = 0; i < 20; ++i) {
        clients.push_back(ShellTest::startShell(*m_app, m_xvfb.display(),
                                                {QStringLiteral("--open-uri=/client/%1").arg(i)}));
        m_processes.push_back(clients.back());
    }
    for (int i = 0; i < 20; ++i) {
        const ShellTest::RunResult result = ShellTest::finishShell(clients[size_t(i)], 180000);
        QVERIFY2(!result.timedOut && result.exitCode == 0,
                 qPrintable(QStringLiteral("client %1: %2").arg(i).arg(failure(result))));
    }
    QTRY_COMPARE_WITH_TIMEOUT(count(QStringLiteral("Received arguments from another instance")),
                              20, 10000);
    for (int i = 0; i < 20; ++i)
        QCOMPARE(count(QStringLiteral("\"--open-uri=/client/%1\"").arg(i)), 1);
    QCOMPARE(count(QStringLiteral("Master instance listening as")), 1);
}

void tst_TamberlinProcess::handWrittenClients()
{
    startMaster();
    QVERIFY(waitForListening(1));
    const QRegularExpressionMatch id =
        QRegularExpression(QStringLiteral("Master instance listening as \"([^\"]+)\"")).match(log());
    QVERIFY(id.hasMatch());
    // The master's socket lives in its own temporary folder.
    const QString server = m_app->root() + QStringLiteral("/tmp/") + id.captured(1);

    // A frame in pieces.
    {
        QLocalSocket client;
        client.connectToServer(server);
        QVERIFY2(client.waitForConnected(10000), qPrintable(client.errorString()));
        const QByteArray frame =
            frameOf({QStringLiteral("hand"), QStringLiteral("--open-uri=/split")});
        client.write(frame.left(2));
        QVERIFY(client.flush());
        QTest::qWait(100);  // let the master see half a length on its own
        client.write(frame.mid(2, 7));
        QVERIFY(client.flush());
        QTest::qWait(100);
        client.write(frame.mid(9));
        QTRY_COMPARE_WITH_TIMEOUT(client.bytesAvailable(), qint64(3), 10000);
        QCOMPARE(client.readAll(), QByteArray("ACK"));
        QTRY_VERIFY(log().contains(QStringLiteral("(\"hand\", \"--open-uri=/split\")")));
    }
    // A length no command line has.
    {
        QLocalSocket client;
        client.connectToServer(server);
        QVERIFY(client.waitForConnected(10000));
        client.write(QByteArray("\xff\xff\xff\x7f", 4) + "garbage");
        QVERIFY(client.flush());
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::UnconnectedState, 10000);
        QCOMPARE(client.bytesAvailable(), qint64(0));
        QTRY_VERIFY(log().contains(QStringLiteral(
            "[warning] QSingleInstance: Client announced 2147483647 bytes of arguments")));
    }
    // An argument holding a line feed arrives as two.
    {
        QLocalSocket client;
        client.connectToServer(server);
        QVERIFY(client.waitForConnected(10000));
        client.write(frameOf({QStringLiteral("hand"), QStringLiteral("line\nfeed")}));
        QTRY_COMPARE_WITH_TIMEOUT(client.bytesAvailable(), qint64(3), 10000);
        QTRY_VERIFY(log().contains(QStringLiteral("(\"hand\", \"line\", \"feed\")")));
    }
    // The master still serves real clients.
    const ShellTest::RunResult client = ShellTest::runShell(
        *m_app, m_xvfb.display(), {QStringLiteral("--open-uri=/still-serving")}, 60000);
    QVERIFY2(!client.timedOut && client.exitCode == 0, qPrintable(failure(client)));
}

QTEST_GUILESS_MAIN(tst_TamberlinProcess)
#include "tst_tamberlinprocess.moc"
