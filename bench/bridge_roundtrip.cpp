// Bridge round trip: the page calls initialize and waits for initializeDone,
// 10,000 times one after the other, in the real program under Xvfb, and
// reports the median and 99th percentile it measured. Run through
// tests/isolate.sh.

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
    if (!folder.installBinary()
        || !folder.packCourse(QStringLiteral(BRIDGE_ROUNDTRIP_PAGE), AppFolder::Kelcab, config)
        || !folder.writeConfig(QStringLiteral("[wrapper]\narchiveManager=kelcab\n"))) {
        out << "set-up failed: " << folder.lastError() << "\n";
        return 2;
    }
    QScopedPointer<QProcess> shell(startShell(folder, xvfb.display()));
    const RunResult result = awaitShell(shell.data(), 300000);
    if (result.exitCode != 0) {
        out << describeFailure(folder, &server, result) << "\n";
        return 1;
    }
    for (const QString &m : server.messages())
        if (m.startsWith(QStringLiteral("roundtrip ")))
            out << m << "\n";
    return 0;
}
