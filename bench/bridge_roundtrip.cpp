// Bridge round trip: the page calls initialize and waits for initializeDone,
// 10,000 times one after the other, in the real program under Xvfb, and
// reports the median and 99th percentile it measured. The baseline is the
// same page in a bare QtWebEngine program with a trivial QWebChannel object
// (bench_bridge_roundtrip_baseline); the two run in turn, twice each. Run
// through tests/isolate.sh.

#include "tests/support/shelltest.h"

#include <QCoreApplication>
#include <QScopedPointer>
#include <QTextStream>

using namespace ShellTest;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    AppFolder folder;
    ReportServer server;
    Xvfb xvfb;
    QString error;
    if (!folder.isValid() || !server.listen() || !xvfb.start(&error)) {
        out << "set-up failed: " << error << "\n";
        return 2;
    }
    const QVariantMap config{{QStringLiteral("report"), server.url()},
                             {QStringLiteral("calls"), 10000}};
    AppFolder bare;
    if (!folder.installBinary()
        || !folder.packCourse(QStringLiteral(BRIDGE_ROUNDTRIP_PAGE), AppFolder::Kelcab, config)
        || !folder.writeConfig(QStringLiteral("[wrapper]\narchiveManager=kelcab\n"))
        || !bare.packCourse(QStringLiteral(BRIDGE_ROUNDTRIP_PAGE), AppFolder::Loose, config)) {
        out << "set-up failed: " << folder.lastError() << bare.lastError() << "\n";
        return 2;
    }
    for (int round = 0; round < 2; ++round) {
        QScopedPointer<QProcess> shell(startShell(folder, xvfb.display()));
        const RunResult result = awaitShell(shell.data(), 300000);
        if (result.exitCode != 0) {
            out << describeFailure(folder, &server, result) << "\n";
            return 1;
        }
        QProcess baseline;
        baseline.setProcessEnvironment(folder.environment(xvfb.display()));
        baseline.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        baseline.start(QStringLiteral(BASELINE_EXE), {bare.path() + QStringLiteral("/webapp/index.html")});
        if (!baseline.waitForFinished(300000) || baseline.exitCode() != 0) {
            out << "baseline failed\n";
            return 1;
        }
    }
    // Messages arrive in run order: the program's, then the baseline's.
    int run = 0;
    for (const QString &m : server.messages()) {
        if (m.startsWith(QStringLiteral("roundtrip ")))
            out << (run++ % 2 ? "bare QtWebEngine + QWebChannel: " : "the program:                    ") << m << "\n";
    }
    return 0;
}
