// Start-up of the shell: from process start to the page's load event, under
// Xvfb, against a minimal QtWebEngine QML program (bench_bridge_baseline)
// loading the same page. Two series: fresh (each run a new application
// folder, profile and user cache, as on a learner's first start) and warm
// (the same folder again after one unmeasured start); the programs
// alternate. Prints the medians of 5 runs each and fails (exit code 1) when
// the shell takes more than 1.1 times the baseline in either series.
// A third series, for information, runs the shell on plain files beside the
// program (the forwarding interceptor): the difference to the first is what
// serving the page from the content archive costs.

#include "tests/support/shelltest.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QDeadlineTimer>
#include <QMap>
#include <QProcess>
#include <QScopedPointer>
#include <QSignalSpy>
#include <QTextStream>
#include <QUrl>

#include <algorithm>
#include <map>

using namespace ShellTest;

namespace {

constexpr int kRuns = 5;
constexpr double kLimit = 1.1;
constexpr int kTimeoutMs = 60000;

QTextStream out(stdout);

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

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

struct Setting
{
    AppFolder app;
    ReportServer server;
    bool ready = false; // set up by an earlier run
};

// Milliseconds from starting the program to the page's report; < 0 on failure.
// The folder is set up on its first run and reused as it is after that.
double measure(Kind kind, const QString &display, Setting &setting)
{
    const bool shell = kind != Kind::Baseline;
    AppFolder &app = setting.app;
    ReportServer &server = setting.server;
    const bool fresh = !setting.ready;
    if (!app.isValid() || (fresh && !server.listen()))
        return -1;
    setting.ready = true;
    const QVariantMap config{{QStringLiteral("report"), server.url()}};
    const QString page = QStringLiteral(BRIDGE_BENCH_PAGE);
    QScopedPointer<QProcess> process(new QProcess);
    process->setProcessEnvironment(app.environment(display));
    process->setWorkingDirectory(app.path());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);

    QSignalSpy messages(&server, &ReportServer::message);
    QElapsedTimer clock;
    if (shell) {
        const bool files = kind == Kind::ShellOnFiles;
        if (fresh && (!app.installBinary()
            || !app.packCourse(page, files ? AppFolder::Loose : AppFolder::Zip, config)
            || !app.writeConfig(files ? QStringLiteral("[wrapper]\ninterceptor=ForwardRequestInterceptor\n")
                                      : QStringLiteral("[wrapper]\nencrypted=false\n")))) {
            out << "set-up failed: " << app.lastError() << '\n';
            return -1;
        }
        clock.start();
        process->start(app.binary(), QStringList());
    } else {
        if (fresh && !app.packCourse(page, AppFolder::Loose, config)) {
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
        // The shell ends itself through the page; the baseline is ended here.
        if (!shell || !finished.wait(10000)) {
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
    const QList<Kind> kinds{Kind::Shell, Kind::Baseline, Kind::ShellOnFiles};
    bool within = true;
    for (const bool warm : {false, true}) {
        const char *series = warm ? "warm" : "fresh";
        QMap<Kind, QVector<double>> times;
        std::map<Kind, Setting> settings; // the warm series', one per program
        for (int i = warm ? -1 : 0; i < kRuns; ++i) {
            // Rotate the order, so that no program always runs on a warmer system.
            for (int k = 0; k < kinds.size(); ++k) {
                const Kind kind = kinds.at((i + kRuns + k) % kinds.size());
                Setting fresh;
                const double ms = measure(kind, xvfb.display(), warm ? settings[kind] : fresh);
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
        const double f = median(times.value(Kind::ShellOnFiles));
        out << series << " profile, median start-up to load event: shell " << QString::number(s, 'f', 1)
            << " ms, baseline " << QString::number(b, 'f', 1) << " ms, ratio "
            << QString::number(s / b, 'f', 2) << " (limit " << kLimit << ")\n"
            << series << " profile, shell on plain files: " << QString::number(f, 'f', 1)
            << " ms, ratio " << QString::number(f / b, 'f', 2) << "\n";
        within = within && s <= kLimit * b;
    }
    return within ? 0 : 1;
}
