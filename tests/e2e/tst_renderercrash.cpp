// The page's render process killed under the running program (as the
// out-of-memory killer would): the program logs it as critical and exits
// with its failure code, not with 0.

#include "app/shellapplication.h"
#include "tests/support/shelltest.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <signal.h>

namespace {

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

// The web engine forks its renderers from zygote processes without exec:
// they are the program's grandchildren.
QList<qint64> renderersOf(qint64 pid)
{
    QList<qint64> found;
    for (qint64 zygote : childrenOf(pid))
        found += childrenOf(zygote);
    return found;
}

} // namespace

class tst_RendererCrash : public QObject
{
    Q_OBJECT
private slots:
    void killedRendererEndsProgramWithFailure();
};

void tst_RendererCrash::killedRendererEndsProgramWithFailure()
{
    ShellTest::Session run;
    QVERIFY2(run.setUp(QStringLiteral("renderer")), qPrintable(run.error));
    run.start();
    const bool ready = run.server.waitForMessage(QStringLiteral("ready"), 90000);
    const QList<qint64> renderers = renderersOf(run.pid());
    for (qint64 renderer : renderers)
        ::kill(pid_t(renderer), SIGKILL);
    const ShellTest::RunResult result = run.finish(60000);
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

QTEST_GUILESS_MAIN(tst_RendererCrash)
#include "tst_renderercrash.moc"
