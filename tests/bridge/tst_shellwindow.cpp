// The real program under Xvfb: window size and title, close notices, the page's
// methods, application events, and the end when the render process dies.

#include "app/shellapplication.h"
#include "bridge/desktopbridge.h"
#include "shellwindow_config.h"
#include "tests/support/shelltest.h"

#include <QProcess>
#include <QRegularExpression>
#include <QScopedPointer>
#include <QtTest>

#include <signal.h>

using namespace ShellTest;

namespace {

constexpr int kStartMs = 60000;
constexpr int kStepMs = 30000;

// Runs the window tool against the display; returns its output lines.
bool runXwintool(const QString &display, const QString &command, qint64 pid,
                 QStringList *lines = nullptr)
{
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    tool.setProcessEnvironment(env);
    tool.start(QStringLiteral(XWINTOOL_EXE), {command, QString::number(pid)});
    if (!tool.waitForFinished(kStepMs) || tool.exitStatus() != QProcess::NormalExit
        || tool.exitCode() != 0)
        return false;
    if (lines)
        *lines = QString::fromUtf8(tool.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    return true;
}

// The bridge course, by default (no configuration file) from an encrypted zip.
bool setUp(Session &run, const QVariantMap &testConfig, const QString &config = {})
{
    return run.setUp(QStringLiteral("bridge"), testConfig, AppFolder::Zip,
                     config.isEmpty() ? QString() : "[wrapper]\nencrypted=false\n" + config,
                     config.isEmpty() ? QByteArray(TAMBERLIN_CONTENT_PASSWORD) : QByteArray());
}

QList<qint64> childrenOf(qint64 pid)
{
    QList<qint64> children;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks + QLatin1Char('/') + task + QStringLiteral("/children"));
        if (file.open(QIODevice::ReadOnly))
            for (const QByteArray &child : file.readAll().split(' '))
                if (child.toLongLong() > 0)
                    children.append(child.toLongLong());
    }
    return children;
}

} // namespace

class tst_ShellWindow : public QObject
{
    Q_OBJECT
private slots:
    void windowSizeTitleAndMethods_data();
    void windowSizeTitleAndMethods();
    void applicationEventsAfterInitialization();
    void killedRendererEndsProgramWithFailure();
};

void tst_ShellWindow::windowSizeTitleAndMethods_data()
{
    QTest::addColumn<QString>("config");
    QTest::addColumn<QString>("size");
    QTest::addColumn<QString>("title");
    // Qt shows the application name for a window whose title is empty.
    QTest::newRow("no configuration file: 1024x768, empty title")
        << QString() << "1024x768" << "Tamberlin";
    QTest::newRow("size and UTF-8 title from kelshell.config")
        << "[visual]\nProductName=Kurz Žluťoučký kůň 日\nStageX=800\nStageY=600\n" << "800x600"
        << "Kurz Žluťoučký kůň 日";
}

// The page checks its methods and accepts only the second close request.
void tst_ShellWindow::windowSizeTitleAndMethods()
{
    QFETCH(QString, config);
    QFETCH(QString, size);
    QFETCH(QString, title);

    Session run;
    QVERIFY2(setUp(run, {{"mode", "close"}, {"closes", 2},
                         {"methods", QStringList(DesktopBridge::pageMethods().keys())}}, config),
             qPrintable(run.error));
    run.start();
    if (!run.server.waitForMessage("ready", kStartMs))
        QFAIL(qPrintable(run.failure("the page did not load")));
    // Loaded on first use only: no media, decoder or SQL driver with the first page.
    QFile maps(QStringLiteral("/proc/%1/maps").arg(run.pid()));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    QCOMPARE(QString(maps.readAll()).split('\n').filter(
                 QRegularExpression("Multimedia|tamberlin-media|gst|pulse|qzxing|qsqlite")),
             QStringList());

    QStringList windows;
    if (!runXwintool(run.xvfb.display(), "list", run.pid(), &windows))
        QFAIL(qPrintable(run.failure("no mapped window")));
    QCOMPARE(windows.size(), 1);
    const QStringList fields = windows.first().split(' ');
    QCOMPARE(fields.value(1), size);
    QCOMPARE(fields.mid(2).join(' '), title);

    QVERIFY(runXwintool(run.xvfb.display(), "close", run.pid()));
    if (!run.server.waitForMessage("close 1", kStepMs))
        QFAIL(qPrintable(run.failure("no close notice")));
    QVERIFY(runXwintool(run.xvfb.display(), "close", run.pid()));
    QVERIFY2(run.finish(kStepMs).exitCode == 0, qPrintable(run.failure()));
    QCOMPARE(run.server.messages().filter(QRegularExpression("^close \\d+$")),
             (QStringList{"close 1", "close 2"}));
}

void tst_ShellWindow::applicationEventsAfterInitialization()
{
    const QString first = QStringLiteral("/courses/first.kel");
    const QString second = QStringLiteral("/courses/second.kel");
    const QStringList urls{QUrl::fromLocalFile(first).toString(),
                           QUrl::fromLocalFile(second).toString()};
    Session run;
    QVERIFY2(setUp(run, {{"mode", "events"}, {"urls", urls}}), qPrintable(run.error));
    run.start({"--open-uri=" + first});
    if (!run.server.waitForMessage("ready", kStartMs))
        QFAIL(qPrintable(run.failure("the page did not load")));

    // A second instance hands its URI over and ends.
    QScopedPointer<QProcess> secondInstance(
        startShell(run.app, run.xvfb.display(), {"--open-uri=" + second}));
    const RunResult handedOver = finishShell(secondInstance.data(), kStepMs);
    QVERIFY2(handedOver.exitCode == 0, handedOver.output.constData());

    // The close notice tells the page to initialise the plugin; no event may come before.
    QVERIFY(runXwintool(run.xvfb.display(), "close", run.pid()));
    QVERIFY2(run.finish(kStepMs).exitCode == 0, qPrintable(run.failure()));
    const QStringList events = run.server.messages().filter(QRegularExpression("^event "));
    QCOMPARE(events, (QStringList{"event " + urls.at(0), "event " + urls.at(1)}));
}

// The render process killed as the out-of-memory killer would: a critical
// log line and the failure exit code, not 0.
void tst_ShellWindow::killedRendererEndsProgramWithFailure()
{
    Session run;
    QVERIFY2(run.setUp(QStringLiteral("renderer")), qPrintable(run.error));
    run.start();
    const bool ready = run.server.waitForMessage(QStringLiteral("ready"), kStartMs);
    // The web engine forks its renderers from zygote processes without exec:
    // they are the program's grandchildren.
    QList<qint64> renderers;
    for (qint64 zygote : childrenOf(run.pid()))
        renderers += childrenOf(zygote);
    for (qint64 renderer : renderers)
        ::kill(pid_t(renderer), SIGKILL);
    const RunResult result = run.finish(kStartMs);
    const QString failure = run.failure();
    QVERIFY2(ready, qPrintable(failure));
    QVERIFY2(!renderers.isEmpty(), "no renderer process found");
    QVERIFY2(!result.timedOut && !result.crashed, qPrintable(failure));
    QCOMPARE(result.exitCode, ShellApplication::RenderProcessFailedExitCode);

    QFile log(run.app.logFile());
    QVERIFY(log.open(QIODevice::ReadOnly));
    // The web engine reports a renderer ended by SIGKILL as crashed.
    const QRegularExpression line(QStringLiteral(
        "\\[critical\\] ShellApplication: The page's render process ended: status "
        "(crashed \\(2\\)|killed \\(3\\)), exit code 9; the program exits with 70"));
    QVERIFY2(QString::fromUtf8(log.readAll()).contains(line), qPrintable(failure));
}

QTEST_GUILESS_MAIN(tst_ShellWindow)
#include "tst_shellwindow.moc"
