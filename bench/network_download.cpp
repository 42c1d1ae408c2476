// Download throughput and memory: the page downloads a 200 MB file from a
// local server through the real program under Xvfb, against curl fetching
// the same URL to the same disk in the same run; the program's resident
// memory is sampled meanwhile. Then 100 ajax requests in process, one after
// the other, and the memory they leave behind. Run through tests/isolate.sh.

#include "bridge/jsinterface.h"
#include "content/archiveaccessmanager.h"
#include "tests/support/httptestserver.h"
#include "tests/support/shelltest.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSignalSpy>
#include <QTextStream>
#include <QTimer>

using namespace ShellTest;

namespace {

const qint64 kSize = 200LL * 1024 * 1024;

qint64 rssKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// curl writing to target; seconds, with the event loop running for the server.
double curlSeconds(const QString &url, const QString &target)
{
    QProcess curl;
    QEventLoop loop;
    QObject::connect(&curl, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"),
                                        target, url});
    loop.exec();
    const double s = clock.elapsed() / 1000.0;
    if (target != QLatin1String("/dev/null"))
        QFile::remove(target);
    return curl.exitCode() == 0 ? s : -1;
}

class EmptyArchive : public ArchiveAccessManager
{
public:
    bool exists(const QString &) override { return false; }
    QByteArray read(const QString &) override { return {}; }
    QIODevice *open(const QString &) override { return nullptr; }
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QTextStream out(stdout);
    HttpTestServer http;
    const bool listening = http.listen();
    const QString url = http.url() + QStringLiteral("/bytes?size=%1").arg(kSize);
    const int runs = 3;
    Session session;
    if (!listening
        || !session.setUp(QStringLiteral(DOWNLOAD_BENCH_PAGE),
                          {{QStringLiteral("url"), url},
                           {QStringLiteral("runs"), runs},
                           {QStringLiteral("size"), kSize}})) {
        out << "set-up failed: " << session.error << "\n";
        return 2;
    }
    ReportServer &report = session.server;
    // Same disk as the program's downloads (its home lies under root()).
    const QString diskFile = session.app.root() + QStringLiteral("/curl.bin");
    QList<double> curl{curlSeconds(url, diskFile)};

    QProcess *shell = session.start();
    // The baseline is taken before the first download only: growth that the
    // first download leaves behind must count.
    qint64 before = -1, peak = 0;
    bool downloading = false;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        const qint64 rss = rssKb(shell->processId());
        if (downloading)
            peak = qMax(peak, rss);
    });
    QObject::connect(&report, &ReportServer::message, [&](const QString &m) {
        if (m.startsWith(QStringLiteral("start "))) {
            if (before < 0)
                before = rssKb(shell->processId());
            downloading = true;
        } else if (m.startsWith(QStringLiteral("download "))) {
            downloading = false;
        }
    });
    sampler.start(20);
    const RunResult result = session.finish(110000);
    sampler.stop();
    if (result.exitCode != 0) {
        out << session.failure() << "\n";
        return 1;
    }
    curl.append(curlSeconds(url, diskFile));
    curl.append(curlSeconds(url, diskFile));
    const double curlNull = curlSeconds(url, QStringLiteral("/dev/null"));

    QList<double> shellSeconds;
    for (const QString &m : report.messages())
        if (m.startsWith(QStringLiteral("download ms=")))
            shellSeconds.append(m.mid(12).section(' ', 0, 0).toDouble() / 1000.0);
    out << "shell runs (s):";
    for (double s : shellSeconds)
        out << " " << s;
    out << "\ncurl runs (s):";
    for (double s : curl)
        out << " " << s;
    out << "\n";
    std::sort(curl.begin(), curl.end());
    std::sort(shellSeconds.begin(), shellSeconds.end());
    const double mb = kSize / 1048576.0;
    const auto median = [](const QList<double> &sorted) { return sorted.value(sorted.size() / 2); };
    for (const auto &[what, shellS, curlS] :
         {std::make_tuple("best", shellSeconds.value(0), curl.value(0)),
          std::make_tuple("median", median(shellSeconds), median(curl))})
        out << QStringLiteral("download 200 MiB, %1: shell %2 s (%3 MiB/s, runs %4), curl %5 s "
                              "(%6 MiB/s), ratio %7\n")
                   .arg(QLatin1String(what)).arg(shellS, 0, 'f', 3).arg(mb / shellS, 0, 'f', 0)
                   .arg(shellSeconds.size()).arg(curlS, 0, 'f', 3).arg(mb / curlS, 0, 'f', 0)
                   .arg(curlS / shellS, 0, 'f', 2);
    out << QStringLiteral("curl to /dev/null (server and loopback only): %1 s (%2 MiB/s)\n")
               .arg(curlNull, 0, 'f', 3).arg(mb / curlNull, 0, 'f', 0);
    out << QStringLiteral("program RSS: %1 MiB before the first download, peak %2 MiB while "
                          "downloading, growth %3 MiB\n")
               .arg(before / 1024.0, 0, 'f', 1).arg(peak / 1024.0, 0, 'f', 1)
               .arg((peak - before) / 1024.0, 0, 'f', 1);

    // 100 ajax requests one after the other, in process.
    EmptyArchive archive;
    JSInterface js(&archive);
    QSignalSpy spy(&js, &JSInterface::invokeJSCall);
    auto round = [&](int n) {
        for (int i = 0; i < n; ++i) {
            js.ajax(QString::number(i), http.url() + QStringLiteral("/echo"),
                    {{QStringLiteral("method"), QStringLiteral("POST")},
                     {QStringLiteral("data"), QVariantMap{{QStringLiteral("i"), i}}}});
            spy.wait(5000);
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    };
    round(20); // warm-up: connection and allocator caches
    const qint64 ajaxBefore = rssKb(QCoreApplication::applicationPid());
    round(100);
    const qint64 ajaxAfter = rssKb(QCoreApplication::applicationPid());
    out << QStringLiteral("100 ajax requests: %1 answered, RSS %2 -> %3 KiB (%4 KiB), "
                          "tasks left %5\n")
               .arg(std::count_if(spy.cbegin(), spy.cend(), [](const QList<QVariant> &a) {
                        return a.at(0).toString() == QLatin1String("ajaxResponse");
                    }) - 20)
               .arg(ajaxBefore).arg(ajaxAfter).arg(ajaxAfter - ajaxBefore)
               .arg(js.runningTaskCount());
    return 0;
}
