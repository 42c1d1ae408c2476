// Start-up of the shell: from process start to the page's load event, under
// Xvfb, against a minimal QtWebEngine QML program (bench_bridge_baseline)
// loading the same page. Each run gets a fresh application folder and
// profile; the programs alternate. Prints the medians of 5 runs each and
// fails (exit code 1) when the shell takes more than 1.2 times the baseline.
// A third series, for information, runs the shell on plain files beside the
// program (the forwarding interceptor): the difference to the first is what
// serving the page from the content archive costs.

#include "tests/support/shelltest.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMap>
#include <QProcess>
#include <QScopedPointer>
#include <QSignalSpy>
#include <QTextStream>
#include <QUrl>

#include <algorithm>

using namespace ShellTest;

namespace {

constexpr int kRuns = 5;
constexpr double kLimit = 1.2;
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

// Milliseconds from starting the program to the page's report; < 0 on failure.
double measure(Kind kind, const QString &display)
{
    const bool shell = kind != Kind::Baseline;
    AppFolder app;
    ReportServer server;
    if (!app.isValid() || !server.listen())
        return -1;
    const QVariantMap config{{QStringLiteral("report"), server.url()}};
    const QString page = QStringLiteral(BRIDGE_BENCH_PAGE);
    QScopedPointer<QProcess> process(new QProcess);
    process->setProcessEnvironment(app.environment(display));
    process->setWorkingDirectory(app.path());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);

    QElapsedTimer clock;
    if (shell) {
        const bool files = kind == Kind::ShellOnFiles;
        if (!app.installBinary()
            || !app.packCourse(page, files ? AppFolder::Loose : AppFolder::Zip, config)
            || !app.writeConfig(files ? QStringLiteral("[wrapper]\ninterceptor=ForwardRequestInterceptor\n")
                                      : QStringLiteral("[wrapper]\nencrypted=false\n"))) {
            out << "set-up failed: " << app.lastError() << '\n';
            return -1;
        }
        clock.start();
        process->start(app.binary(), QStringList());
    } else {
        if (!app.packCourse(page, AppFolder::Loose, config)) {
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
    const bool loaded = server.waitForMessage(QStringLiteral("loaded"), kTimeoutMs);
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
    QMap<Kind, QVector<double>> times;
    const QList<Kind> kinds{Kind::Shell, Kind::Baseline, Kind::ShellOnFiles};
    for (int i = 0; i < kRuns; ++i) {
        // Rotate the order, so that no program always runs on a warmer system.
        for (int k = 0; k < kinds.size(); ++k) {
            const Kind kind = kinds.at((i + k) % kinds.size());
            const double ms = measure(kind, xvfb.display());
            if (ms < 0) {
                out << label(kind) << " run " << i << " failed\n";
                return 2;
            }
            times[kind].append(ms);
            out << label(kind) << " run " << i << ": " << QString::number(ms, 'f', 1) << " ms\n";
            out.flush();
        }
    }
    const double s = median(times.value(Kind::Shell));
    const double b = median(times.value(Kind::Baseline));
    const double f = median(times.value(Kind::ShellOnFiles));
    out << "median start-up to load event: shell " << QString::number(s, 'f', 1)
        << " ms, baseline " << QString::number(b, 'f', 1) << " ms, ratio "
        << QString::number(s / b, 'f', 2) << " (limit " << kLimit << ")\n"
        << "shell on plain files: " << QString::number(f, 'f', 1) << " ms, ratio "
        << QString::number(f / b, 'f', 2) << "\n";
    return s <= kLimit * b ? 0 : 1;
}
