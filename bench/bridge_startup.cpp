// Start-up of the shell: from process start to the page's load event, under
// Xvfb, against a minimal QtWebEngine QML program (bench_bridge_baseline)
// loading the same page. Each page runs in two series: fresh (each run a new
// application folder, profile and user cache, as on a learner's first start)
// and warm (the same folder again after one unmeasured start); the programs
// alternate; the median of the rounds' ratios is printed beside the ratio of
// the medians. Pages: a tiny one (limit 1.1 times the baseline), and a real
// presentation, reveal.js's demo (bench/make-corpus.sh; limit 1.05), from an
// encrypted zip archive, the default configuration. A third program runs for
// information: the shell on plain files beside it (the forwarding
// interceptor), whose difference to the first is what serving from the
// content archive costs. Prints the medians of 11 runs each
// (BRIDGE_BENCH_RUNS sets another number) and fails (exit code 1) when the
// shell is over a limit in any series.

#include "benchsupport.h"
#include "content_course.h"
#include "content/contentpassword.h"
#include "tests/support/shelltest.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMap>
#include <QProcess>
#include <QScopedPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextStream>
#include <QUrl>

#include <algorithm>
#include <map>

using namespace ShellTest;

using namespace Bench;

namespace {

// Runs per program and series: 11, or BRIDGE_BENCH_RUNS.
const int kRuns = countFromEnv("BRIDGE_BENCH_RUNS", 11);
constexpr int kTimeoutMs = 60000;

QTextStream out(stdout);

enum class Kind { Shell, Baseline, ShellOnFiles };

const char *label(Kind kind)
{
    switch (kind) {
    case Kind::Shell:
        return "shell (archive)";
    case Kind::Baseline:
        return "baseline";
    case Kind::ShellOnFiles:
        return "shell (files)";
    }
    return "";
}

// A page the programs start on: its folder (laid over a base course when
// set), the shell's archive and the limit of the shell's ratio.
struct Page
{
    const char *name;
    QString dir;
    QString base;
    QByteArray password; // of the zip archive; the configuration says whether
    double limit;
    QList<Kind> kinds;
};

struct Setting
{
    AppFolder app;
    ReportServer server;
    bool ready = false; // set up by an earlier run
};

// Milliseconds from starting the program to the page's report; < 0 on failure.
// The folder is set up on its first run and reused as it is after that.
double measure(Kind kind, const QString &display, Setting &setting, const Page &page)
{
    const bool shell = kind != Kind::Baseline;
    AppFolder &app = setting.app;
    ReportServer &server = setting.server;
    const bool fresh = !setting.ready;
    if (!app.isValid() || (fresh && !server.listen()))
        return -1;
    setting.ready = true;
    const QVariantMap config{{QStringLiteral("report"), server.url()}};
    app.setBaseCourse(page.base);
    QScopedPointer<QProcess> process(new QProcess);
    process->setProcessEnvironment(app.environment(display));
    process->setWorkingDirectory(app.path());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);

    QSignalSpy messages(&server, &ReportServer::message);
    QElapsedTimer clock;
    if (shell) {
        const bool files = kind == Kind::ShellOnFiles;
        if (fresh && (!app.installBinary()
            || !app.packCourse(page.dir, files ? AppFolder::Loose : AppFolder::Zip, config,
                               QStringLiteral("data.bin"), files ? QByteArray() : page.password)
            || !app.writeConfig(files ? QStringLiteral("[wrapper]\ninterceptor=ForwardRequestInterceptor\n")
                                : page.password.isEmpty() ? QStringLiteral("[wrapper]\nencrypted=false\n")
                                                          : QString()))) {
            out << "set-up failed: " << app.lastError() << '\n';
            return -1;
        }
        clock.start();
        process->start(app.binary(), QStringList());
    } else {
        if (fresh && !app.packCourse(page.dir, AppFolder::Loose, config)) {
            out << "set-up failed: " << app.lastError() << '\n';
            return -1;
        }
        const QString url =
            QUrl::fromLocalFile(app.path() + QStringLiteral("/webapp/index.html")).toString();
        clock.start();
        // The shell adds the same switch to its own command line; without it
        // a file page may not report to the server.
        process->start(QStringLiteral(BASELINE_EXE), {url, QStringLiteral("--disable-web-security")});
    }
    QDeadlineTimer deadline(kTimeoutMs);
    bool loaded = false;
    while (!loaded && messages.wait(int(qMax<qint64>(1, deadline.remainingTime()))))
        loaded = std::any_of(messages.cbegin(), messages.cend(),
                             [](const QList<QVariant> &m) { return m.value(0) == QLatin1String("loaded"); });
    const double ms = clock.nsecsElapsed() / 1e6;

    if (process->state() != QProcess::NotRunning) {
        QSignalSpy finished(process.data(),
                            QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
        // Both programs end themselves through the page: a warm start then
        // finds the profile that a normal exit leaves (a killed baseline left
        // less to read than the shell, and its warm starts were the quicker).
        if (!finished.wait(10000)) {
            process->kill();
            process->waitForFinished(10000);
        }
    }
    return loaded ? ms : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qRegisterMetaType<QProcess::ExitStatus>();
    Xvfb xvfb;
    QString error;
    if (!xvfb.start(&error)) {
        out << error << '\n';
        return 2;
    }
    QList<Page> pages{{"tiny page", QStringLiteral(BRIDGE_BENCH_PAGE), QString(), QByteArray(), 1.1,
                       {Kind::Shell, Kind::Baseline, Kind::ShellOnFiles}}};
    const QTemporaryDir overlay;
    const QString course = QStringLiteral(BRIDGE_BENCH_COURSE);
    const QString staged = overlay.isValid()
        ? ContentBench::stagePresentation(course, overlay.path(),
                                          QStringLiteral(BRIDGE_BENCH_PAGE "/report.js"))
        : QString();
    if (staged.isEmpty())
        out << "no " << course << " (bench/make-corpus.sh): the real course is left out\n";
    else
        pages.append({"reveal.js demo", staged, course, contentPassword(), 1.05,
                      {Kind::Shell, Kind::Baseline, Kind::ShellOnFiles}});

    bool within = true;
    for (const Page &page : pages) {
        for (const bool warm : {false, true}) {
            const QString series = QStringLiteral("%1, %2").arg(QLatin1String(page.name),
                                                               QLatin1String(warm ? "warm" : "fresh"));
            const QList<Kind> &kinds = page.kinds;
            QMap<Kind, QVector<double>> times;
            std::map<Kind, Setting> settings; // the warm series', one per program
            for (int i = warm ? -1 : 0; i < kRuns; ++i) {
                // Rotate the order, so that no program always runs on a warmer system.
                for (int k = 0; k < kinds.size(); ++k) {
                    const Kind kind = kinds.at((i + kRuns + k) % kinds.size());
                    Setting fresh;
                    const double ms = measure(kind, xvfb.display(), warm ? settings[kind] : fresh, page);
                    if (ms < 0) {
                        out << series << ' ' << label(kind) << " run " << i << " failed\n";
                        return 2;
                    }
                    if (i < 0)
                        continue; // the warm series' first start fills the profile and caches
                    times[kind].append(ms);
                    out << series << ' ' << label(kind) << " run " << i << ": "
                        << QString::number(ms, 'f', 1) << " ms\n";
                    out.flush();
                }
            }
            const double s = median(times.value(Kind::Shell));
            const double b = median(times.value(Kind::Baseline));
            out << series << ", median start-up to load event: shell " << QString::number(s, 'f', 1)
                << " ms, baseline " << QString::number(b, 'f', 1) << " ms, ratio "
                << QString::number(s / b, 'f', 2) << " (limit " << page.limit << ")\n";
            // The two programs of one round ran one after the other: the
            // median of their ratios is not moved by the machine's speed
            // drifting over the series.
            const QVector<double> paired =
                pairedRatios(times.value(Kind::Shell), times.value(Kind::Baseline));
            out << series << ", median of the rounds' ratios: " << QString::number(median(paired), 'f', 2)
                << " (95 % interval " << medianInterval(paired) << ")\n";
            if (times.contains(Kind::ShellOnFiles)) {
                const double f = median(times.value(Kind::ShellOnFiles));
                out << series << ", shell on plain files: " << QString::number(f, 'f', 1)
                    << " ms, ratio " << QString::number(f / b, 'f', 2) << "\n";
            }
            within = within && s <= page.limit * b;
        }
    }
    return within ? 0 : 1;
}
