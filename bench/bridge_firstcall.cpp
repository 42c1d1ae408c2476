// What the first call of each service costs, in the real program under
// Xvfb: the page makes one call of each service twice in a row, in a fresh
// profile; the second call is the baseline. Medians of 5 programs.
// Run through tests/isolate.sh.

#include "benchsupport.h"
#include "tests/support/shelltest.h"

#include <QCoreApplication>
#include <QMap>
#include <QTextStream>

using namespace Bench;
using namespace ShellTest;

namespace {

constexpr int kRuns = 5;

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QStringList order;                   // service|method|answer, as the page makes them
    QMap<QString, QVector<double>> first, second;
    for (int run = 0; run < kRuns; ++run) {
        Session session;
        if (!session.setUp(QStringLiteral(FIRSTCALL_BENCH_PAGE))) {
            out << "set-up failed: " << session.error << "\n";
            return 2;
        }
        session.start();
        if (session.finish(120000).exitCode != 0) {
            out << session.failure() << "\n";
            return 1;
        }
        for (const QString &m : session.server.messages()) {
            if (!m.startsWith(QStringLiteral("bench ")))
                continue;
            const QStringList parts = m.mid(6).split(QLatin1Char('|'));
            const QString key = parts.mid(0, 3).join(QLatin1Char('|'));
            if (!order.contains(key))
                order.append(key);
            first[key].append(parts.value(3).toDouble());
            second[key].append(parts.value(4).toDouble());
        }
    }
    out << "first call of each service, median of " << kRuns << " fresh programs, ms\n";
    for (const QString &key : order) {
        const QStringList parts = key.split(QLatin1Char('|'));
        out << QStringLiteral("  %1 %2 (%3): first %4, again %5\n")
                   .arg(parts.at(0), -15)
                   .arg(parts.at(1), -20)
                   .arg(parts.at(2))
                   .arg(median(first.value(key)), 0, 'f', 2)
                   .arg(median(second.value(key)), 0, 'f', 2);
    }
    return 0;
}
