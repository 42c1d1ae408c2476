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

// The web engine forks its renderers from a zygote process without exec, so
// they keep the zygote's command line: they are the descendants of pid that
// are not its own children.
QList<qint64> renderersOf(qint64 pid)
{
    QHash<qint64, qint64> parents;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool ok = false;
        const qint64 child = entry.toLongLong(&ok);
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!ok || !stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold blanks, so start
        // after its closing parenthesis.
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1)
            parents.insert(child, fields.at(1).toLongLong());
    }
    QList<qint64> found;
    for (auto it = parents.cbegin(); it != parents.cend(); ++it) {
        qint64 up = it.value();
        if (up == pid)
            continue;
        while (up > 1 && up != pid)
            up = parents.value(up, 0);
        if (up == pid)
            found.append(it.key());
    }
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
    ShellTest::AppFolder app;
    ShellTest::ReportServer server;
    ShellTest::Xvfb xvfb;
    QString error;
    QVERIFY(app.isValid() && server.listen());
    QVERIFY2(xvfb.start(&error), qPrintable(error));
    QVERIFY(app.installBinary());
    QVERIFY2(app.packCourse(ShellTest::coursesDir() + QStringLiteral("/renderer"),
                            ShellTest::AppFolder::Kelcab,
                            {{QStringLiteral("report"), server.url()}}),
             qPrintable(app.lastError()));
    QVERIFY(app.writeConfig(QStringLiteral("[wrapper]\narchiveManager=kelcab\n")));

    QScopedPointer<QProcess> process(ShellTest::startShell(app, xvfb.display()));
    const bool ready = server.waitForMessage(QStringLiteral("ready"), 90000);
    const QList<qint64> renderers = renderersOf(process->processId());
    for (qint64 renderer : renderers)
        ::kill(pid_t(renderer), SIGKILL);
    const ShellTest::RunResult result = ShellTest::awaitShell(process.data(), 60000);
    const QString failure = ShellTest::describeFailure(app, &server, result);
    QVERIFY2(ready, qPrintable(failure));
    QVERIFY2(!renderers.isEmpty(), "no renderer process found");
    QVERIFY2(!result.timedOut && !result.crashed, qPrintable(failure));
    QCOMPARE(result.exitCode, ShellApplication::RenderProcessFailedExitCode);

    QFile log(app.logFile());
    QVERIFY(log.open(QIODevice::ReadOnly));
    // The web engine reports a renderer ended by SIGKILL as crashed.
    const QRegularExpression line(QStringLiteral(
        "\\[critical\\] ShellApplication: The page's render process ended: status "
        "(crashed \\(2\\)|killed \\(3\\)), exit code 9; the program exits with 70"));
    QVERIFY2(QString::fromUtf8(log.readAll()).contains(line), qPrintable(failure));
}

QTEST_GUILESS_MAIN(tst_RendererCrash)
#include "tst_renderercrash.moc"
