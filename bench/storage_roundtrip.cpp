// Storage from the page, in the real program under Xvfb: saveDBItem and
// loadDBItem round trips and saveDBItems of 10,000 items, against the page's
// own localStorage and IndexedDB doing the same work in the same engine.
// Run through tests/isolate.sh.

#include "tests/support/shelltest.h"

#include <QCoreApplication>
#include <QTextStream>

using namespace ShellTest;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    Session session;
    if (!session.setUp(QStringLiteral(STORAGE_BENCH_PAGE),
                       {{QStringLiteral("rounds"), 1000}, {QStringLiteral("batch"), 10000}})) {
        out << "set-up failed: " << session.error << "\n";
        return 2;
    }
    session.start();
    if (session.finish(300000).exitCode != 0) {
        out << session.failure() << "\n";
        return 1;
    }
    for (const QString &m : session.server.messages())
        if (m.startsWith(QStringLiteral("bench ")))
            out << m.mid(6) << "\n";
    return 0;
}
