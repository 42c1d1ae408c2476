// Tamberlin --dev DIR with the real page: reloads, console on stderr, developer
// tools on 127.0.0.1 only; and none of it without --dev.

#include "tests/support/shelltest.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace ShellTest;

namespace {

// Local TCP addresses pid listens on, as /proc writes them ("0100007F:1F90").
QSet<QString> listeningAddresses(qint64 pid)
{
    QSet<QString> inodes;
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    const QStringList entries = fds.entryList(QDir::System | QDir::NoDotAndDotDot);
    for (const QString &fd : entries) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("socket:\\[(\\d+)\\]")).match(target);
        if (m.hasMatch())
            inodes.insert(m.captured(1));
    }
    QSet<QString> addresses;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        file.readLine(); // header
        while (!file.atEnd()) {
            const QStringList f = QString::fromLatin1(file.readLine()).simplified().split(' ');
            if (f.size() > 9 && f.at(3) == QLatin1String("0A") && inodes.contains(f.at(9)))
                addresses.insert(f.at(1));
        }
    }
    return addresses;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QString loadMessage(int version, const QString &extra)
{
    return QStringLiteral("load {\"page\":\"lesson.html?step=2\",\"version\":%1,\"extra\":%2}")
        .arg(version)
        .arg(extra.isEmpty() ? QStringLiteral("null") : QLatin1Char('"') + extra + QLatin1Char('"'));
}

} // namespace

class tst_DevMode : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { qRegisterMetaType<QProcess::ExitStatus>(); }
    void devLoop();
    void offWithoutDev();
};

void tst_DevMode::devLoop()
{
    Session run;
    AppFolder &app = run.app;
    ReportServer &server = run.server;
    const QString fifo = app.root() + QStringLiteral("/tmp/slow-source");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QVERIFY2(run.setUp(QStringLiteral("devloop"), {{QStringLiteral("fifo"), fifo}},
                       AppFolder::Loose, QString()),
             qPrintable(run.error));
    // The course folder itself as DIR: "/webapp/" must map onto it.
    const QString dir = app.path() + QStringLiteral("/webapp");

    // A port in use must give way to a free one.
    QTcpServer busy;
    QVERIFY(busy.listen(QHostAddress::LocalHost, 0));

    QProcess shell;
    shell.setProcessEnvironment(app.environment(run.xvfb.display()));
    shell.setWorkingDirectory(app.path());
    QByteArray err;
    int scanned = 0; // err up to here is whole lines already looked at
    QList<qint64> reloads; // arrival of each "[dev] changed:" line (ms of the clock)
    QElapsedTimer clock;
    clock.start();
    connect(&shell, &QProcess::readyReadStandardError, this, [&] {
        err += shell.readAllStandardError();
        // A line split over two reads counts once it is complete.
        for (int end; (end = err.indexOf('\n', scanned)) >= 0; scanned = end + 1)
            if (err.mid(scanned, end - scanned).startsWith("[dev] changed:"))
                reloads.append(clock.elapsed());
    });
    shell.start(app.binary(), {QStringLiteral("--dev"), dir, QStringLiteral("--dev-port"),
                               QString::number(busy.serverPort())});
    auto cleanup = qScopeGuard([&] {
        server.release(QStringLiteral("quit"));
        if (!shell.waitForFinished(15000))
            shell.kill();
        shell.waitForFinished(5000);
    });
    auto failure = [&] {
        return QStringLiteral("page: %1\nstderr: %2")
            .arg(server.messages().join(QLatin1Char('\n')), QString::fromLocal8Bit(err))
            .toLocal8Bit();
    };

    QVERIFY2(server.waitForMessage(loadMessage(1, {}), 60000), failure().constData());
    QVERIFY2(server.waitForMessage(QStringLiteral("module imported"), 20000), failure().constData());

    // Developer tools: the address on stdout, /json there, nothing elsewhere.
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += shell.readAllStandardOutput()).contains('\n'), 10000);
    const QRegularExpressionMatch address =
        QRegularExpression(QStringLiteral("^127\\.0\\.0\\.1:(\\d+)$"),
                           QRegularExpression::MultilineOption)
            .match(QString::fromLatin1(out));
    QVERIFY2(address.hasMatch(), out.constData());
    const int port = address.captured(1).toInt();
    QVERIFY(port > 0 && port != busy.serverPort());
    QNetworkAccessManager network;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            const QScopedPointer<QNetworkReply> reply(network.get(QNetworkRequest(
                QUrl(QStringLiteral("http://127.0.0.1:%1/json").arg(port)))));
            QSignalSpy(reply.data(), &QNetworkReply::finished).wait(5000);
            return !QJsonDocument::fromJson(reply->readAll()).array().isEmpty();
        }(),
        20000);
    // That port on 127.0.0.1 alone, not on a wildcard or IPv6 address.
    const QString onPort = ':' + QString::number(port, 16).toUpper().rightJustified(4, '0');
    QCOMPARE(listeningAddresses(shell.processId()).values().filter(onPort),
             QStringList{"0100007F" + onPort});

    // The page's console and its uncaught error, with level, file and line.
    QTRY_VERIFY2_WITH_TIMEOUT(err.contains("devloop uncaught marker"), failure().constData(), 10000);
    QVERIFY2(err.contains("[warning] lesson.html:22: devloop console marker\n"), failure().constData());
    QVERIFY2(QRegularExpression(QStringLiteral("\\[error\\] lesson\\.html:23: Uncaught Error: "
                                               "devloop uncaught marker"))
                 .match(QString::fromLocal8Bit(err)).hasMatch(),
             failure().constData());

    // Four bursts, each one reload with the new content, at the same page.
    struct Burst
    {
        const char *what;
        std::function<bool()> change;
        QString expected;
    };
    const QList<Burst> bursts = {
        {"rewrite in place", [&] { return writeFile(dir + "/version.js", "window.VERSION = 2;\n"); },
         loadMessage(2, {})},
        {"save by rename",
         [&] {
             return writeFile(dir + "/.version.js.new", "window.VERSION = 3;\n")
                 && ::rename(QFile::encodeName(dir + "/.version.js.new").constData(),
                             QFile::encodeName(dir + "/version.js").constData()) == 0;
         },
         loadMessage(3, {})},
        {"new folder with a file",
         [&] {
             return QDir(dir).mkdir("extra")
                 && writeFile(dir + "/extra/data.js", "window.EXTRA = 'a';\n");
         },
         loadMessage(3, QStringLiteral("a"))},
        {"file in the new folder", // the new folder is watched
         [&] { return writeFile(dir + "/extra/data.js", "window.EXTRA = 'b';\n"); },
         loadMessage(3, QStringLiteral("b"))},
    };
    int loads = 1;
    for (const Burst &burst : bursts) {
        const qint64 changedAt = clock.elapsed();
        const int reloadsBefore = reloads.size();
        QVERIFY2(burst.change(), burst.what);
        QVERIFY2(server.waitForMessage(burst.expected, 30000), failure().constData());
        ++loads;
        QCOMPARE(server.messages().filter(QRegularExpression("^load ")).size(), loads);
        QCOMPARE(reloads.size(), reloadsBefore + 1);
        QVERIFY(reloads.last() - changedAt < 3000);

        if (loads == 2) {
            // The first page's copy ends after the reload: its answer must not reach the new page.
            const QByteArray pipe = QFile::encodeName(fifo);
            int fd = -1;
            QTRY_VERIFY_WITH_TIMEOUT(
                fd >= 0 || (fd = ::open(pipe.constData(), O_WRONLY | O_NONBLOCK)) >= 0, 10000);
            QCOMPARE(::write(fd, "0123456789", 10), ssize_t(10));
            ::close(fd);
            const QString copy =
                app.root() + QStringLiteral("/data/Kelvane/Tamberlin/contents/devloop-copy.bin");
            QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(copy).size(), qint64(10), 10000);
            server.release(QStringLiteral("probe"));
            QVERIFY2(server.waitForMessage(QStringLiteral("probe strays="), 20000, true),
                     failure().constData());
        }
    }
    for (const QString &probe : server.messages().filter(QStringLiteral("probe strays=")))
        QCOMPARE(probe, QStringLiteral("probe strays=0 copy=0"));

    QSignalSpy finished(&shell, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    server.release(QStringLiteral("quit")); // the server answers while the spy waits
    QVERIFY(finished.wait(20000));
    QCOMPARE(shell.exitCode(), 0);
    QCOMPARE(server.messages().filter(QRegularExpression("^load ")).size(), loads);
}

void tst_DevMode::offWithoutDev()
{
    Session run;
    QVERIFY2(run.setUp(QStringLiteral("devloop")), qPrintable(run.error));
    run.start();
    if (!run.server.waitForMessage(loadMessage(1, {}), 60000))
        QFAIL(qPrintable(run.failure()));
    run.server.release(QStringLiteral("probe"));
    QVERIFY(run.server.waitForMessage(QStringLiteral("probe strays=0 copy=0"), 20000));
    QCOMPARE(listeningAddresses(run.pid()), QSet<QString>());
    run.server.release(QStringLiteral("quit"));
    const RunResult result = run.finish(20000);
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(!result.output.contains("devloop console marker")
                 && !result.output.contains("127.0.0.1:") && !result.output.contains("[dev]"),
             result.output.constData());
}

QTEST_GUILESS_MAIN(tst_DevMode)
#include "tst_devmode.moc"
