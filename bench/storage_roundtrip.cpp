// Storage from the page, in the real program under Xvfb: saveDBItem and
// loadDBItem round trips and saveDBItems of 10,000 items, against the page's
// own localStorage and IndexedDB doing the same work in the same engine.
// Run through tests/isolate.sh.

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
                             {QStringLiteral("rounds"), 1000},
                             {QStringLiteral("batch"), 10000}};
    if (!folder.installBinary()
        || !folder.packCourse(QStringLiteral(STORAGE_BENCH_PAGE), AppFolder::Kelcab, config)
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
        if (m.startsWith(QStringLiteral("bench ")))
            out << m.mid(6) << "\n";
    return 0;
}
