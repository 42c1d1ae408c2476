// Time from a media request to the redirect's file: the scheme handler's copy
// of a 100 MB video entry out of the content archive (kelcab, stored zip,
// deflated zip, encrypted zip) against `cp` of the same bytes. Runs the copy
// routine the handler runs (CopyCache::copy from the archive), then one
// real request through an offscreen web engine page for the kelcab archive.
// cp is timed by a shell of its own (its clock read around cp), so that the
// fork of this large process is not counted against it. Warm and cold runs
// (the archives' and the plain file's cached pages dropped first) alternate.

#include "webbench.h"
#include "benchsupport.h"
#include "content/contentpassword.h"
#include "content/copycache.h"
#include "content/kelcabarchivemanager.h"
#include "content/requestinterceptor.h"
#include "content/ziparchiveaccessmanager.h"
#include "content/ziphandler.h"

#include <kelcab/archive.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QtConcurrent>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineUrlRequestJob>

#include <quazip/quacrc32.h>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

using namespace Bench;

namespace {

constexpr qint64 kSize = 100 * 1024 * 1024;
constexpr int kRounds = 3;

bool writeRandom(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    QRandomGenerator gen(42);
    for (qint64 done = 0; done < kSize; done += chunk.size()) {
        gen.fillRange(reinterpret_cast<quint32 *>(chunk.data()), chunk.size() / 4);
        if (file.write(chunk) != chunk.size())
            return false;
    }
    return true;
}

bool writeZip(const QString &zipPath, const QString &source, int method, const QByteArray &password)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    QuaCrc32 crc;
    while (!in.atEnd())
        crc.update(in.read(1 << 20));
    in.seek(0);
    QuaZip zip(zipPath);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    QuaZipFile file(&zip);
    if (!file.open(QIODevice::WriteOnly, QuaZipNewInfo(QStringLiteral("webapp/media/video.mp4")),
                   password.isEmpty() ? nullptr : password.constData(), crc.value(), method,
                   method ? 1 : 0))
        return false;
    while (!in.atEnd())
        file.write(in.read(1 << 20));
    file.close();
    zip.close();
    return zip.getZipError() == 0;
}

double timeCp(const QString &from, const QString &to)
{
    QProcess shell;
    shell.start(QStringLiteral("bash"),
                {QStringLiteral("-c"),
                 QStringLiteral("s=$EPOCHREALTIME; cp \"$1\" \"$2\" || exit 1; e=$EPOCHREALTIME; "
                                "echo \"${s/./} ${e/./}\""),
                 QStringLiteral("timecp"), from, to});
    shell.waitForFinished(-1);
    const QList<QByteArray> us = shell.readAllStandardOutput().trimmed().split(' ');
    QFile::remove(to);
    if (shell.exitCode() != 0 || us.size() != 2)
        return -1;
    return double(us.at(1).toLongLong() - us.at(0).toLongLong()) / 1e3;
}

double timeCopy(ArchiveAccessManager *archive)
{
    CopyCache copies(archive);
    QVariantMap out;
    QElapsedTimer t;
    t.start();
    const int code = copies.copy(QStringLiteral("/webapp/media/video.mp4"),
                                 QStringLiteral("/webapp/media/video.mp4"),
                                 ZipHandler::mediaCopyName(), QStringLiteral("temporary"),
                                 QStringLiteral("temporary"), out, false, CopyCache::Source::Archive);
    const double ms = t.nsecsElapsed() / 1e6;
    if (code != 0 || out.value(QStringLiteral("size")).toLongLong() != kSize) {
        fprintf(stderr, "copy failed: %d\n", code);
        return -1;
    }
    return ms;
}

// One real request: from the page asking for the video to the error event
// that follows the redirect (the bytes are not a playable video), which is
// the handler's copy plus the file load.
class TimingHandler : public ZipHandler
{
public:
    using ZipHandler::ZipHandler;
    void requestStarted(QWebEngineUrlRequestJob *job) override
    {
        if (job->requestUrl().path().endsWith(QLatin1String(".mp4")))
            started.start();
        ZipHandler::requestStarted(job);
    }
    QElapsedTimer started;
};

// Sees the redirected request for the temporary copy.
class TimingInterceptor : public RequestInterceptor
{
public:
    using RequestInterceptor::RequestInterceptor;
    void interceptRequest(QWebEngineUrlRequestInfo &info) override
    {
        if (info.requestUrl().isLocalFile() && redirectMs < 0 && started && started->isValid())
            redirectMs = started->nsecsElapsed() / 1e6;
        RequestInterceptor::interceptRequest(info);
    }
    QElapsedTimer *started = nullptr;
    double redirectMs = -1;
};

double timeRequest(ArchiveAccessManager *archive, double *redirectMs)
{
    TimingHandler handler(archive);
    TimingInterceptor interceptor(archive, QString());
    interceptor.started = &handler.started;
    QWebEngineProfile *profile = QWebEngineProfile::defaultProfile();
    profile->installUrlSchemeHandler("kelzip", &handler);
    profile->setUrlRequestInterceptor(&interceptor);
    QWebEnginePage page(profile);
    page.setHtml(QStringLiteral(
                     "<script>function go() { const v = document.createElement('video');"
                     "v.onloadedmetadata = v.onerror = () => document.title = 'done';"
                     "v.src = 'kelzip:/webapp/media/video.mp4'; }"
                     // Once the new renderer has settled, so that its start-up
                     // does not compete with the copy.
                     "window.onload = () => setTimeout(go, 1000);</script>"),
                 QUrl(QStringLiteral("kelzip:/webapp/index.html")));
    // A real event loop, as in the program: polling would delay every hop
    // through the UI thread.
    QEventLoop loop;
    QObject::connect(&page, &QWebEnginePage::titleChanged, &loop, [&](const QString &title) {
        if (title == QLatin1String("done"))
            loop.quit();
    });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    loop.exec();
    const bool done = page.title() == QLatin1String("done");
    const double ms = done && handler.started.isValid() ? handler.started.nsecsElapsed() / 1e6 : -1;
    *redirectMs = interceptor.redirectMs;
    profile->setUrlRequestInterceptor(nullptr);
    profile->removeUrlSchemeHandler(&handler);
    return ms;
}

} // namespace

int main(int argc, char **argv)
{
    const WebBenchApplication app(argc, argv);

    QTemporaryDir dir;
    const QString tree = dir.filePath(QStringLiteral("tree/webapp/media"));
    QDir().mkpath(tree);
    const QString video = tree + QStringLiteral("/video.mp4");
    if (!writeRandom(video))
        return 1;
    std::unique_ptr<kelcab::Archive> packed(
        kelcab::Archive::makeAndSave(dir.filePath(QStringLiteral("data.bin")),
                                     QDir(dir.filePath(QStringLiteral("tree/webapp")))));
    packed.reset();
    if (!writeZip(dir.filePath(QStringLiteral("stored.zip")), video, 0, {})
        || !writeZip(dir.filePath(QStringLiteral("deflated.zip")), video, 8, {})
        || !writeZip(dir.filePath(QStringLiteral("encrypted.zip")), video, 0, contentPassword()))
        return 1;

    KelCabArchiveManager kelcab(dir.filePath(QStringLiteral("data.bin")));
    ZipArchiveAccessManager stored(dir.filePath(QStringLiteral("stored.zip")));
    ZipArchiveAccessManager deflated(dir.filePath(QStringLiteral("deflated.zip")));
    ZipArchiveAccessManager encrypted(dir.filePath(QStringLiteral("encrypted.zip")));

    double redirectKelcab = -1, redirectZip = -1;
    const double request = timeRequest(&kelcab, &redirectKelcab);
    timeRequest(&stored, &redirectZip);
    QVector<double> cp[2], kc[2], zs[2], zd[2], ze[2];
    const QStringList sources{video, dir.filePath(QStringLiteral("data.bin")),
                              dir.filePath(QStringLiteral("stored.zip")),
                              dir.filePath(QStringLiteral("deflated.zip")),
                              dir.filePath(QStringLiteral("encrypted.zip"))};
    auto drop = [&](int cold) {
        if (cold) {
            for (const QString &f : sources)
                dropCache(f);
        }
    };
    for (int i = 0; i < kRounds; ++i) {
        for (int cold = 0; cold < 2; ++cold) {
            drop(cold);
            cp[cold].append(timeCp(video, QDir::tempPath() + QStringLiteral("/cp-copy.mp4")));
            drop(cold);
            kc[cold].append(timeCopy(&kelcab));
            drop(cold);
            zs[cold].append(timeCopy(&stored));
            drop(cold);
            zd[cold].append(timeCopy(&deflated));
            drop(cold);
            ze[cold].append(timeCopy(&encrypted));
        }
    }
    // The same copy on a pool thread, as the handler runs it, with no page.
    QThreadPool pool;
    const double pooled = QtConcurrent::run(&pool, [&kelcab] { return timeCopy(&kelcab); }).result();
    for (int cold = 0; cold < 2; ++cold) {
        const double base = median(cp[cold]);
        printf("media copy of a 100 MB entry, %s, median of %d (ms, and against cp)\n",
               cold ? "cold cache" : "warm cache", kRounds);
        printf("  cp of the plain file            %8.1f\n", base);
        printf("  kelcab archive                  %8.1f  %.2fx\n", median(kc[cold]), median(kc[cold]) / base);
        printf("  zip, stored                     %8.1f  %.2fx\n", median(zs[cold]), median(zs[cold]) / base);
        printf("  zip, deflated                   %8.1f  %.2fx\n", median(zd[cold]), median(zd[cold]) / base);
        printf("  zip, stored and encrypted       %8.1f  %.2fx\n", median(ze[cold]), median(ze[cold]) / base);
    }
    printf("  kelcab archive, on a pool thread %7.1f\n", pooled);
    printf("one page request of the entry (video element), first request:\n");
    printf("  kelcab: to the redirected file request %8.1f, to the element's error event %8.1f\n",
           redirectKelcab, request);
    printf("  stored zip: to the redirected file request %8.1f\n", redirectZip);
    return 0;
}
