// The course of bench_content_courseload run by the real program under Xvfb:
// loose files beside the program (the forwarding interceptor leaves them as
// plain file:// pages) against a kelcab archive, a zip archive and an
// encrypted zip archive (the default configuration) served through "kelzip".
// The page loads every resource at once after the bridge is up and reports
// how long that took: that interval is the headline, the program's whole
// run is shown beside it. Every mode runs warm (pages cached) and cold (the
// content's pages dropped before the run), modes taken in turn (the order
// rotated each round) so that the machine's load hits them alike. The same
// modes then start a real third-party presentation, reveal.js's demo
// (bench/make-corpus.sh), timed to its load event. Prints medians of 5 runs (CONTENT_BENCH_ROUNDS) and
// ratios to the plain files of the same condition: the ratio of the medians,
// and the median of each round's ratio.

#include "benchsupport.h"
#include "content_course.h"
#include "content/contentpassword.h"

#include "tests/support/shelltest.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <QDirIterator>

#include <algorithm>
#include <cstdio>

using namespace Bench;

namespace {

const int kRounds = countFromEnv("CONTENT_BENCH_ROUNDS", 5);

struct Mode
{
    const char *name;
    ShellTest::AppFolder::Format format;
    QString config;
    QByteArray password;
    QVector<double> page[2], run[2];   // [warm, cold]
    QString binary;                    // another build of the program, when set
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    setvbuf(stdout, nullptr, _IONBF, 0);
    const QString corpus = QStringLiteral(CONTENT_BENCH_CORPUS);
    if (!ContentBench::corpusPresent(corpus))
        return 1;
    QTemporaryDir dir;
    const QString course = dir.filePath(QStringLiteral("course"));
    const ContentBench::Course built = ContentBench::buildCourse(corpus, course, true);
    printf("course: %d files, %.1f MB\n", int(built.texts.size() + built.images.size()),
           built.bytes / 1e6);

    ShellTest::Xvfb xvfb;
    QString error;
    if (!xvfb.start(&error)) {
        fprintf(stderr, "Xvfb: %s\n", qPrintable(error));
        return 1;
    }

    using ShellTest::AppFolder;
    Mode modes[] = {
        {"plain files (forward mode)", AppFolder::Loose,
         QStringLiteral("[wrapper]\ninterceptor=ForwardRequestInterceptor\n"), {}, {}, {}, {}},
        {"kelcab archive via kelzip", AppFolder::Kelcab,
         QStringLiteral("[wrapper]\narchiveManager=kelcab\n"), {}, {}, {}, {}},
        {"zip archive via kelzip", AppFolder::Zip, QStringLiteral("[wrapper]\nencrypted=false\n"),
         {}, {}, {}, {}},
        {"encrypted zip (default)", AppFolder::Zip, QString(), contentPassword(), {}, {}, {}},
    };
    // CONTENT_BENCH_BEFORE names an earlier build of the program: its zip
    // modes then run in the same turns, for before and after figures.
    QVector<Mode> all(std::begin(modes), std::end(modes));
    const QString before = qEnvironmentVariable("CONTENT_BENCH_BEFORE");
    if (!before.isEmpty()) {
        all.append({"zip, earlier build", AppFolder::Zip, QStringLiteral("[wrapper]\nencrypted=false\n"),
                    {}, {}, {}, before});
        all.append({"encrypted zip, earlier build", AppFolder::Zip, QString(), contentPassword(), {}, {},
                    before});
    }
    // The presentation: the whole start-up to its load event is the page
    // figure (its resources are requested as it parses).
    struct Course
    {
        const char *name;
        QString dir, base;
        bool presentation;
        QVector<Mode> modes;
    };
    QVector<Course> courses{{"438-file course", course, QString(), false, all}};
    const QTemporaryDir overlay;
    const QString presentation = QStringLiteral(CONTENT_BENCH_PRESENTATION);
    const QString staged = overlay.isValid()
        ? ContentBench::stagePresentation(presentation, overlay.path(),
                                          QStringLiteral(CONTENT_BENCH_REPORT_SCRIPT))
        : QString();
    if (staged.isEmpty())
        printf("no %s (bench/make-corpus.sh): the presentation is left out\n", qPrintable(presentation));
    else
        courses.append({"reveal.js demo (start-up to its load event)", staged, presentation, true, all});

    // One warm-up run each, then rounds taken in turn: warm and cold, every
    // mode in each.
    for (Course &c : courses) {
        for (int round = -1; round < kRounds; ++round) {
            for (int cold = 0; cold < 2; ++cold) {
                if (round < 0 && cold)
                    continue;
                // Rotated each round, so that no mode always runs first, on
                // the machine as the previous course or condition left it.
                for (int k = 0; k < c.modes.size(); ++k) {
                    Mode &m = c.modes[(k + round + 1) % c.modes.size()];
                    ShellTest::ReportServer server;
                    ShellTest::AppFolder folder;
                    folder.setBaseCourse(c.base);
                    if (!server.listen() || !folder.installBinary()
                        || !folder.packCourse(c.dir, m.format, {{QStringLiteral("report"), server.url()}},
                                              QStringLiteral("data.bin"), m.password)
                        || !folder.writeConfig(m.config)
                        || (!m.binary.isEmpty()
                            && (!QFile::remove(folder.binary())
                                || !QFile::copy(m.binary, folder.binary())))) {
                        fprintf(stderr, "%s: set-up failed: %s\n", m.name, qPrintable(folder.lastError()));
                        return 1;
                    }
                    if (cold)
                        dropCaches(folder.path());
                    QElapsedTimer t;
                    t.start();
                    QScopedPointer<QProcess> process(ShellTest::startShell(folder, xvfb.display()));
                    const bool done = c.presentation
                        ? server.waitForMessage(QStringLiteral("loaded"), 300000)
                        : server.waitForMessage(QStringLiteral("done "), 300000, true);
                    const double loadedMs = t.nsecsElapsed() / 1e6;
                    // The page still waits for the server's answers before it ends
                    // the program: keep the event loop running until it has.
                    const ShellTest::RunResult result = ShellTest::awaitShell(process.data(), 60000);
                    const double runMs = t.nsecsElapsed() / 1e6;
                    QString timing = c.presentation ? QStringLiteral("timing %1 0").arg(loadedMs) : QString();
                    for (const QString &message : server.messages()) {
                        if (message.startsWith(QLatin1String("timing ")))
                            timing = message;
                    }
                    const QStringList parts = timing.split(' ');
                    if (!done || parts.size() != 3 || parts.at(2) != QLatin1String("0")
                        || result.exitCode != 0) {
                        fprintf(stderr, "%s: failed (%s)\n%s\n", m.name, qPrintable(timing),
                                qPrintable(ShellTest::describeFailure(folder, &server, result)));
                        return 1;
                    }
                    if (qEnvironmentVariableIsSet("CONTENT_BENCH_VERBOSE"))
                        fprintf(stderr, "%s round %d%s: page %s run %.1f\n", m.name, round,
                                cold ? " cold" : "", qPrintable(parts.at(1)), runMs);
                    if (round >= 0) {
                        m.page[cold].append(parts.at(1).toDouble());
                        m.run[cold].append(runMs);
                    }
                }
            }
        }
    }
    double load[3] = {};
    getloadavg(load, 3);
    printf("the real program, median of %d runs each, modes in turn; load average %.1f %.1f %.1f\n",
           kRounds, load[0], load[1], load[2]);
    for (const Course &c : courses) {
        printf("%s\n", c.name);
        for (int cold = 0; cold < 2; ++cold) {
            const double basePage = median(c.modes[0].page[cold]);
            const double baseRun = median(c.modes[0].run[cold]);
            printf("%s, ms: page load (headline), whole run\n",
                   cold ? "cold cache (content pages dropped before each run)" : "warm cache");
            for (const Mode &m : c.modes) {
                // Each round's page load against the loose files' of the same
                // round: the machine's drift between rounds cancels out.
                const QVector<double> paired = pairedRatios(m.page[cold], c.modes[0].page[cold]);
                printf("  %-28s page %8.1f (%.2fx; per round %.2fx, 95 %% %s)   run %8.1f (%.2fx)\n",
                       m.name, median(m.page[cold]), median(m.page[cold]) / basePage, median(paired),
                       qPrintable(medianInterval(paired)), median(m.run[cold]),
                       median(m.run[cold]) / baseRun);
            }
        }
    }
    return 0;
}
