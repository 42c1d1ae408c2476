// Loads a course of several hundred real files (JavaScript, CSS, HTML, JSON
// and fonts from npm packages, plus generated PNG images; over 20 MB) in an
// offscreen web engine page, four ways: plain file:// pages, and through
// the request interceptor and the "kelzip" scheme handler from a kelcab
// archive, a zip archive and an encrypted zip archive. The page fetches every
// resource at once (text by XMLHttpRequest, images as <img>) and reports
// when the last one is in. Prints medians and ratios to the plain files.

#include "webbench.h"
#include "benchsupport.h"
#include "content_course.h"

#include "content/contentpassword.h"
#include "content/kelcabarchivemanager.h"
#include "content/requestinterceptor.h"
#include "content/ziparchiveaccessmanager.h"
#include "content/ziphandler.h"

#include <kelcab/archive.h>

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineProfile>

#include <quazip/quacrc32.h>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

#include <algorithm>
#include <cstdio>
#include <memory>

using namespace Bench;

namespace {

using namespace ContentBench;

const int kRounds = countFromEnv("CONTENT_BENCH_ROUNDS", 7);
bool zipTree(const QString &root, const QString &zipPath, const QByteArray &password)
{
    QuaZip zip(zipPath);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    QDirIterator it(root + "/webapp", QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString f = it.next();
        QFile in(f);
        in.open(QIODevice::ReadOnly);
        const QByteArray data = in.readAll();
        QuaZipFile out(&zip);
        const bool png = f.endsWith(QLatin1String(".png"));
        if (!out.open(QIODevice::WriteOnly, QuaZipNewInfo(QDir(root).relativeFilePath(f)),
                      password.isEmpty() ? nullptr : password.constData(),
                      QuaCrc32().calculate(data), png ? 0 : 8, png ? 0 : 6))
            return false;
        out.write(data);
        out.close();
    }
    zip.close();
    return zip.getZipError() == 0;
}

struct Result
{
    double pageMs = -1; // inside the page: first request to last answer
    double wallMs = -1; // load() to the page's report
    int failed = -1;
};

Result load(const QUrl &url)
{
    QWebEnginePage page(QWebEngineProfile::defaultProfile());
    // A page without a view counts as hidden, and Chromium throttles the
    // loading of hidden pages: the course would load as a background tab.
    page.setVisible(true);
    QElapsedTimer t;
    t.start();
    page.load(url);
    Result r;
    // A real event loop, as in the program: polling with sleeps in between
    // would add a delay to every hop of every request through the UI thread.
    QEventLoop loop;
    QObject::connect(&page, &QWebEnginePage::titleChanged, &loop, [&](const QString &title) {
        if (title.startsWith(QLatin1String("done")))
            loop.quit();
    });
    QTimer::singleShot(300000, &loop, &QEventLoop::quit);
    loop.exec();
    if (!page.title().startsWith(QLatin1String("done"))) {
        fprintf(stderr, "stuck: %s\n", qPrintable(page.title()));
        return r;
    }
    r.wallMs = t.nsecsElapsed() / 1e6;
    const QStringList parts = page.title().split(' ');
    r.pageMs = parts.value(1).toDouble();
    r.failed = parts.value(2).toInt();
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    const WebBenchApplication app(argc, argv);
    setvbuf(stdout, nullptr, _IONBF, 0);

    const QString corpus = QStringLiteral(CONTENT_BENCH_CORPUS);
    if (!ContentBench::corpusPresent(corpus))
        return 1;
    QTemporaryDir dir;
    const QString plain = dir.filePath(QStringLiteral("plain"));
    const Course course = buildCourse(corpus, plain + "/webapp");
    printf("course: %d files, %.1f MB\n", int(course.texts.size() + course.images.size()),
           course.bytes / 1e6);

    std::unique_ptr<kelcab::Archive> packed(kelcab::Archive::makeAndSave(
        dir.filePath(QStringLiteral("data.bin")), QDir(plain + "/webapp")));
    packed.reset();
    if (!zipTree(plain, dir.filePath(QStringLiteral("data.zip")), {})
        || !zipTree(plain, dir.filePath(QStringLiteral("encrypted.zip")), contentPassword()))
        return 1;

    KelCabArchiveManager kelcab(dir.filePath(QStringLiteral("data.bin")));
    ZipArchiveAccessManager zip(dir.filePath(QStringLiteral("data.zip")));
    ZipArchiveAccessManager encrypted(dir.filePath(QStringLiteral("encrypted.zip")));

    struct Mode
    {
        const char *name;
        ArchiveAccessManager *archive;
        QVector<double> page, wall;
    };
    QVector<Mode> modes{{"plain file:// pages", nullptr, {}, {}},
                        {"kelcab archive via kelzip", &kelcab, {}, {}},
                        {"zip archive via kelzip", &zip, {}, {}},
                        {"encrypted zip via kelzip", &encrypted, {}, {}}};
    QWebEngineProfile *profile = QWebEngineProfile::defaultProfile();
    // One warm-up load each, then rounds taken in turn so that drift in the
    // machine's load hits every mode alike; each round starts with the next
    // mode, so that no mode always runs right after another one.
    for (int round = -1; round < kRounds; ++round) {
        for (int turn = 0; turn < modes.size(); ++turn) {
            Mode &m = modes[(turn + round + 1) % modes.size()];
            const QString query = QStringLiteral("?run=%1").arg(round + 1);
            std::unique_ptr<ZipHandler> handler;
            std::unique_ptr<RequestInterceptor> interceptor;
            QUrl url;
            if (m.archive) {
                handler.reset(new ZipHandler(m.archive));
                interceptor.reset(new RequestInterceptor(m.archive, QString()));
                profile->installUrlSchemeHandler("kelzip", handler.get());
                profile->setUrlRequestInterceptor(interceptor.get());
                url = QUrl(QStringLiteral("file:///webapp/index.html") + query);
            } else {
                url = QUrl::fromLocalFile(plain + "/webapp/index.html");
                url.setQuery(query.mid(1));
            }
            const Result r = load(url);
            if (qEnvironmentVariableIsSet("CONTENT_BENCH_VERBOSE"))
                fprintf(stderr, "%s round %d: page %.1f wall %.1f failed %d\n", m.name, round,
                        r.pageMs, r.wallMs, r.failed);
            profile->setUrlRequestInterceptor(nullptr);
            if (handler)
                profile->removeUrlSchemeHandler(handler.get());
            if (r.failed != 0) {
                fprintf(stderr, "%s: %d resources failed (page %.1f)\n", m.name, r.failed, r.pageMs);
                return 1;
            }
            if (round >= 0) {
                m.page.append(r.pageMs);
                m.wall.append(r.wallMs);
            }
        }
    }
    const double basePage = median(modes[0].page);
    const double baseWall = median(modes[0].wall);
    printf("median of %d loads: page time (first request to last answer) and load() to report, ms\n",
           kRounds);
    // Beside the ratio of the medians, the median of each round's ratio to
    // the plain pages of that round: the machine's drift between rounds
    // cancels out of it.
    for (const Mode &m : modes) {
        const QVector<double> perRound = pairedRatios(m.page, modes[0].page);
        printf("  %-28s page %8.1f (%.2fx; per round %.2fx, 95 %% %s)   wall %8.1f (%.2fx)\n",
               m.name, median(m.page), median(m.page) / basePage, median(perRound),
               qPrintable(medianInterval(perRound)), median(m.wall), median(m.wall) / baseWall);
    }
    return 0;
}
