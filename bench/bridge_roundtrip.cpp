// Bridge round trip: the page calls initialize and waits for initializeDone,
// 10,000 times one after the other, in the real program under Xvfb, and
// reports the median and 99th percentile it measured. The baseline is the
// same page in a bare QtWebEngine program with a trivial QWebChannel object
// (bench_bridge_roundtrip_baseline); the two run in turn, twice each. Run
// through tests/isolate.sh.

#include "tests/support/shelltest.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTextStream>

using namespace ShellTest;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    Session session;
    AppFolder bareFolder;
    if (!session.setUp(QStringLiteral(BRIDGE_ROUNDTRIP_PAGE), {{QStringLiteral("calls"), 10000}})
        || !bareFolder.packCourse(QStringLiteral(BRIDGE_ROUNDTRIP_PAGE), AppFolder::Loose,
                                  {{QStringLiteral("report"), session.server.url()},
                                   {QStringLiteral("calls"), 10000}})) {
        out << "set-up failed: " << session.error << bareFolder.lastError() << "\n";
        return 2;
    }
    const AppFolder &folder = session.app;
    const ReportServer &server = session.server;
    QStringList program, bare;
    int taken = 0;
    // The round-trip reports that arrived since the last call, in order.
    auto take = [&server, &taken](QStringList *into) {
        const QStringList all = server.messages().filter(QRegularExpression(QStringLiteral("^roundtrip ")));
        into->append(all.mid(taken));
        taken = all.size();
    };
    for (int round = 0; round < 2; ++round) {
        session.start();
        if (session.finish(300000).exitCode != 0) {
            out << session.failure() << "\n";
            return 1;
        }
        const int before = program.size();
        take(&program);
        QProcess baseline;
        baseline.setProcessEnvironment(folder.environment(session.xvfb.display()));
        baseline.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        baseline.start(QStringLiteral(BASELINE_EXE), {bareFolder.path() + QStringLiteral("/webapp/index.html")});
        // The page's reports need this process's event loop to be answered.
        if (awaitShell(&baseline, 300000).exitCode != 0) {
            out << "baseline failed\n";
            return 1;
        }
        // A log line can arrive just after the process ends: wait for it.
        QElapsedTimer deadline;
        deadline.start();
        while (server.messages().filter(QRegularExpression(QStringLiteral("^roundtrip "))).size() < 2 * (round + 1)
               && deadline.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        take(&bare);
        if (program.size() == before || bare.size() != round + 1) {
            out << "a run did not report its round trips\n";
            return 1;
        }
    }
    for (const QString &m : program)
        out << "the program:                    " << m << "\n";
    for (const QString &m : bare)
        out << "bare QtWebEngine + QWebChannel: " << m << "\n";
    return 0;
}
