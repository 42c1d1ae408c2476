#include "contenttest.h"

#include "content/devrequestinterceptor.h"
#include "content/forwardrequestinterceptor.h"
#include "content/requestinterceptor.h"
#include "content/streamedentry.h"
#include "content/ziphandler.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace ContentTest;

Q_DECLARE_METATYPE(ZipHandler::Action)
Q_DECLARE_METATYPE(QWebEngineUrlRequestJob::Error)

namespace {
const Files kArchive{
    {QStringLiteral("webapp/index.html"), "<html></html>"},
    {QStringLiteral("webapp/page.html"), "<html>page</html>"},
    {QStringLiteral("webapp/a#b.html"), "hashed"},
    {QStringLiteral("webapp/sub/page.html"), "sub"},
    {QStringLiteral("webapp/media/song.mp3"), "mp3"},
    {QStringLiteral("webapp/lib/sql.WASM"), "wasm"},
};

} // namespace

class tst_ContentRouting : public QObject
{
    Q_OBJECT

private slots:
    void redirect_data();
    void redirect();
    void handlerDecision_data();
    void handlerDecision();
    void throwingArchiveCountsAsMissing();

    void forwardRedirects_data();
    void forwardRedirects();
    void forwardStripsMarker_data();
    void forwardStripsMarker();
    void forwardCopies();
    void devMediaCopiedAgain();
    void workerPrefix_data();
    void workerPrefix();
    void streamedEntryNeverWaits();
};

void tst_ContentRouting::redirect_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<QString>("expected"); // "" = left alone
    QTest::addColumn<QString>("lookup");   // what exists() is asked, "" = nothing

    // The start page and kelzip entries that are found: the content course.
    const QByteArray get("GET");
    QTest::newRow("no query still gets the ? marker")
        << get << QUrl("file:///webapp/page.html") << "kelzip:/webapp/page.html?"
        << "webapp/page.html";
    QTest::newRow("POST untouched") << QByteArray("POST") << QUrl("file:///webapp/page.html")
                                    << "" << "";
    QTest::newRow("drive letter removed") << get << QUrl("file:///C:/webapp/page.html")
                                          << "kelzip:/webapp/page.html?" << "webapp/page.html";
    QTest::newRow("encoded # stays in the path") << get << QUrl("file:///webapp/a%23b.html")
                                                 << "kelzip:/webapp/a%23b.html?" << "webapp/a#b.html";
    QTest::newRow("file missing from the archive left alone") << get << QUrl("file:///webapp/missing.js") << "" << "webapp/missing.js";
    QTest::newRow("kelzip missing falls back to file")
        << get << QUrl("kelzip:/webapp/missing.js?v=2") << "file:///webapp/missing.js?v=2"
        << "webapp/missing.js";
    QTest::newRow("kelzip dot segments resolved inside the tree")
        << get << QUrl("kelzip:/webapp/sub/../page.html") << "" << "webapp/page.html";
    QTest::newRow("kelzip climbing out never reaches the archive")
        << get << QUrl("kelzip:/webapp/../../etc/passwd") << "file:///webapp/../../etc/passwd"
        << "";
    QTest::newRow("kelzip encoded climbing out never reaches the archive")
        << get << QUrl("kelzip:/%2e%2e/%2e%2e/etc/passwd") << "file:///../../etc/passwd"
        << "";
}

void tst_ContentRouting::redirect()
{
    QFETCH(QByteArray, method);
    QFETCH(QUrl, url);
    QFETCH(QString, expected);
    QFETCH(QString, lookup);

    FakeArchive archive(kArchive);
    const std::optional<QUrl> target = RequestInterceptor::redirectFor(method, url, &archive);
    QCOMPARE(target ? target->toString(QUrl::FullyEncoded) : QString(), expected);
    QCOMPARE(archive.asked(), lookup.isEmpty() ? QStringList() : QStringList{lookup});
}

void tst_ContentRouting::handlerDecision_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<ZipHandler::Action>("action");
    QTest::addColumn<QWebEngineUrlRequestJob::Error>("error");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("mime");
    QTest::addColumn<QString>("lookup");

    using A = ZipHandler::Action;
    using E = QWebEngineUrlRequestJob;
    QTest::newRow("mp3 is media") << QUrl("kelzip:/webapp/media/song.mp3") << A::Media
                                  << E::NoError << "webapp/media/song.mp3" << "audio/mpeg"
                                  << "webapp/media/song.mp3";
    // Unknown to the MIME database; streaming compilation needs the type.
    QTest::newRow("wasm has its web type") << QUrl("kelzip:/webapp/lib/sql.WASM") << A::Stream
                                           << E::NoError << "webapp/lib/sql.WASM"
                                           << "application/wasm" << "webapp/lib/sql.WASM";
    QTest::newRow("missing entry") << QUrl("kelzip:/webapp/missing.js") << A::Fail
                                   << E::UrlNotFound << "webapp/missing.js" << ""
                                   << "webapp/missing.js";
    QTest::newRow("backslashes") << QUrl("kelzip:/webapp%5Csub%5Cpage.html") << A::Stream
                                 << E::NoError << "webapp/sub/page.html" << "text/html"
                                 << "webapp/sub/page.html";
    QTest::newRow("climbing out is not found") << QUrl("kelzip:/webapp/../../etc/passwd")
                                               << A::Fail << E::UrlNotFound << "" << "" << "";
    QTest::newRow("encoded climbing out is not found")
        << QUrl("kelzip:/%2e%2e/etc/passwd") << A::Fail << E::UrlNotFound << "" << "" << "";
    QTest::newRow("backslash climbing out is not found")
        << QUrl("kelzip:/webapp%5C..%5C..%5Cetc%5Cpasswd") << A::Fail << E::UrlNotFound << ""
        << "" << "";
    QTest::newRow("the root itself") << QUrl("kelzip:/") << A::Fail << E::UrlNotFound << "" << "" << "";
    QTest::newRow("nul character is not found") << QUrl("kelzip:/webapp/a%00.html") << A::Fail
                                                << E::UrlNotFound << "" << "" << "";
}

void tst_ContentRouting::handlerDecision()
{
    QFETCH(QUrl, url);
    QFETCH(ZipHandler::Action, action);
    QFETCH(QWebEngineUrlRequestJob::Error, error);
    QFETCH(QString, path);
    QFETCH(QString, mime);
    QFETCH(QString, lookup);

    FakeArchive archive(kArchive);
    ZipHandler handler(&archive);
    const ZipHandler::Decision d = handler.decide(url);
    QCOMPARE(d.action, action);
    QCOMPARE(d.error, error);
    if (!path.isEmpty())
        QCOMPARE(d.path, path);
    if (!mime.isEmpty())
        QCOMPARE(d.mime, mime);
    QCOMPARE(archive.asked(), lookup.isEmpty() ? QStringList() : QStringList{lookup});
}

// An archive that cannot answer counts as not having the entry.
void tst_ContentRouting::throwingArchiveCountsAsMissing()
{
    FakeArchive archive(kArchive);
    archive.throwOnExists = true;
    const QRegularExpression warning("lookup of webapp/index.html failed");
    QTest::ignoreMessage(QtWarningMsg, warning);
    QVERIFY(!RequestInterceptor::redirectFor("GET", QUrl("file:///webapp/index.html"), &archive));
    QTest::ignoreMessage(QtWarningMsg, warning);
    ZipHandler handler(&archive);
    const ZipHandler::Decision d = handler.decide(QUrl("kelzip:/webapp/index.html"));
    QCOMPARE(d.action, ZipHandler::Action::Fail);
    QCOMPARE(d.error, QWebEngineUrlRequestJob::RequestFailed);
}

void tst_ContentRouting::forwardRedirects_data()
{
    QTest::addColumn<bool>("dev");         // dev mode, with <tmp>/course standing for /webapp/
    QTest::addColumn<QString>("url");      // "<root>" the content root, "<tmp>" its parent
    QTest::addColumn<QString>("expected"); // "" = left alone, "<copy>" = a media copy

    QTest::newRow("drive letter removed, fragment and query kept")
        << false << "file:///C:/webapp/x.js?v=1#frag" << "file://<root>/webapp/x.js?v=1#frag";
    QTest::newRow("existing file outside the root left alone")
        << false << "file://<tmp>/outside.txt" << "";
    // Under the root by name prefix only: a sibling's media is not copied.
    QTest::newRow("sibling folder sharing the root's prefix")
        << false << "file://<root>2/clip.mp4" << "";
    QTest::newRow("missing file under the root left alone")
        << false << "file://<root>/webapp/none.js" << "";
    QTest::newRow("web request left alone") << false << "https://example.org/webapp/x.js" << "";
    // A file: script has no MIME type, and a module script needs one.
    QTest::newRow("dev: course file goes to kelzip, query kept")
        << true << "file:///C:/webapp/js/m.js?v=1" << "kelzip:/webapp/js/m.js?v=1";
    QTest::newRow("dev: course file by its own path")
        << true << "file://<tmp>/course/js/m.js" << "kelzip:/webapp/js/m.js?";
    QTest::newRow("dev: kelzip of no course file falls back to file")
        << true << "kelzip:/webapp/none.js?" << "file:///webapp/none.js?";
    QTest::newRow("dev: kelzip media goes to its copy without the marker")
        << true << "kelzip:/webapp/a.wav?" << "<copy>";
    QTest::newRow("dev: file outside the course stays a file")
        << true << "file://<tmp>/outside.txt" << "";
}

void tst_ContentRouting::forwardRedirects()
{
    QFETCH(bool, dev);
    QFETCH(QString, url);
    QFETCH(QString, expected);
    QTemporaryDir tmp;
    const QString root = tmp.filePath(QStringLiteral("app"));
    QVERIFY(writeTree(root, {{QStringLiteral("webapp/index.html"), "<html></html>"}}));
    QVERIFY(writeTree(tmp.path(), {{QStringLiteral("outside.txt"), "x"},
                                   {QStringLiteral("app2/clip.mp4"), "x"},
                                   {QStringLiteral("course/js/m.js"), "export {};"},
                                   {QStringLiteral("course/a.wav"),
                                    ForwardRequestInterceptor::mediaMarker() + "RIFF"}}));
    url.replace(QLatin1String("<root>"), root).replace(QLatin1String("<tmp>"), tmp.path());
    expected.replace(QLatin1String("<root>"), root);

    ForwardRequestInterceptor forward(root);
    DevRequestInterceptor devMode(tmp.path(), tmp.filePath(QStringLiteral("course")));
    const auto d = dev ? devMode.decide(QUrl(url)) : forward.decide(QUrl(url));
    if (expected.isEmpty()) {
        QCOMPARE(d.outcome, ForwardRequestInterceptor::Outcome::Pass);
    } else {
        QCOMPARE(d.outcome, ForwardRequestInterceptor::Outcome::Redirect);
        if (expected == QLatin1String("<copy>"))
            QCOMPARE(readFile(d.target.toLocalFile()), QByteArray("RIFF"));
        else
            QCOMPARE(d.target.toString(QUrl::FullyEncoded), expected);
    }
}

void tst_ContentRouting::forwardStripsMarker_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QByteArray>("served");

    const QByteArray marker = ForwardRequestInterceptor::mediaMarker();
    const QByteArray body("ID3 media body bytes");
    QTest::newRow("with marker") << marker + body << body;
    QTest::newRow("first seven marker bytes") << marker.left(7) + "x" << marker.left(7) + "x";
    QTest::newRow("larger than one copy chunk") << marker + QByteArray(1048576 + 3, 'm') << QByteArray(1048576 + 3, 'm');
}

void tst_ContentRouting::forwardStripsMarker()
{
    QFETCH(QByteArray, stored);
    QFETCH(QByteArray, served);
    QTemporaryDir tmp;
    const QString root = tmp.filePath(QStringLiteral("app"));
    QVERIFY(writeTree(root, {{QStringLiteral("webapp/media/clip.mp4"), stored}}));
    ForwardRequestInterceptor interceptor(root);
    QUrl request = QUrl::fromLocalFile(root + QStringLiteral("/webapp/media/clip.mp4"));
    request.setQuery(QStringLiteral("t=1"));
    request.setFragment(QStringLiteral("t=5"));
    const ForwardRequestInterceptor::Decision d = interceptor.decide(request);
    QCOMPARE(d.outcome, ForwardRequestInterceptor::Outcome::Redirect);
    QCOMPARE(d.target.query(), QStringLiteral("t=1"));
    QCOMPARE(d.target.fragment(), QStringLiteral("t=5"));
    const QString copy = d.target.toLocalFile();
    QVERIFY(copy.startsWith(QDir::tempPath() + QLatin1Char('/')));
    QVERIFY2(QRegularExpression("/[A-Za-z0-9]{6}-clip\\.mp4$").match(copy).hasMatch(),
             qPrintable(copy));
    QCOMPARE(readFile(copy), served);
}

// One copy per media file, never of the copy itself (the temporary folder may
// lie under the root), gone with the interceptor; an unreadable file passes.
void tst_ContentRouting::forwardCopies()
{
    using Outcome = ForwardRequestInterceptor::Outcome;
    QTemporaryDir tmp;
    QVERIFY(writeTree(tmp.path(), {{QStringLiteral("clip.webm"), "webm"}}));
    const int before = QDir(QDir::tempPath()).entryList(QDir::Files).size();
    QString copyPath;
    {
        ForwardRequestInterceptor interceptor(QDir::tempPath());
        const QUrl url = QUrl::fromLocalFile(tmp.filePath(QStringLiteral("clip.webm")));
        const auto first = interceptor.decide(url);
        QCOMPARE(first.outcome, Outcome::Redirect);
        QCOMPARE(interceptor.decide(url).target, first.target);
        copyPath = first.target.toLocalFile();
        QCOMPARE(QDir(QDir::tempPath()).entryList(QDir::Files).size(), before + 1);
        QCOMPARE(interceptor.decide(first.target).outcome, Outcome::Pass);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot read media file .*gone\\.mp3"));
        QCOMPARE(interceptor.decide(QUrl::fromLocalFile(tmp.filePath("gone.mp3"))).outcome,
                 Outcome::Pass);
    }
    QVERIFY(!QFileInfo::exists(copyPath));
}

// Dev mode copies media again, so the author's new recording is heard after a reload.
void tst_ContentRouting::devMediaCopiedAgain()
{
    QTemporaryDir dir;
    QVERIFY(writeTree(dir.path(), {{QStringLiteral("song.mp3"), "first"}}));
    DevRequestInterceptor interceptor(dir.path(), dir.path());
    auto copyOf = [&] {
        const auto d = interceptor.decide(QUrl(QStringLiteral("file:///webapp/song.mp3")));
        return readFile(d.target.toLocalFile());
    };
    QCOMPARE(copyOf(), QByteArray("first"));
    QVERIFY(writeTree(dir.path(), {{QStringLiteral("song.mp3"), "second take"}}));
    QCOMPARE(copyOf(), QByteArray("second take"));
}

// The shell's script runs on the worker's first line, under its own directive.
void tst_ContentRouting::workerPrefix_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("prefix");
    const QByteArray compat = "(0, eval)(\"a\\n'b'\");";
    QTest::newRow("plain") << QByteArray("go();\n") << compat;
    QTest::newRow("use strict after a byte order mark and comments")
        << QByteArray("\xef\xbb\xbf// x\n/* y\n */ \"use strict\";\ngo();")
        << "'use strict';" + compat;
    QTest::newRow("use strict later is no directive") << QByteArray("go();'use strict';") << compat;
}

void tst_ContentRouting::workerPrefix()
{
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, prefix);
    QCOMPARE(ZipHandler::withWorkerPrefix(script, "a\n'b'"), prefix + script);
    QCOMPARE(ZipHandler::withWorkerPrefix(script, QByteArray()), script);
}

// The web engine reads a reply on the thread that carries every request of
// the page: with the rest not read yet, a read answers 0 at once (not at the
// end), and readyRead() follows each chunk and the end.
void tst_ContentRouting::streamedEntryNeverWaits()
{
    QByteArray rest;
    for (int line = 0; rest.size() < 600000; ++line)
        rest += QByteArray::number(line) + '\n';
    auto entry = std::make_shared<QBuffer>(&rest);
    QVERIFY(entry->open(QIODevice::ReadOnly));
    // The read-ahead waits behind a task that holds the pool's one thread.
    QSemaphore gate;
    auto pool = std::make_shared<QThreadPool>();
    pool->setMaxThreadCount(1);
    pool->start([&gate]() { gate.acquire(); });
    const auto unblock = qScopeGuard([&gate]() { gate.release(); });
    StreamedEntry device(QByteArray(), entry, QStringLiteral("test entry"), pool);
    QSignalSpy ready(&device, &QIODevice::readyRead);
    char buffer[100000];
    QCOMPARE(device.read(buffer, sizeof buffer), qint64(0));
    QVERIFY(!device.atEnd());
    gate.release();
    QByteArray received;
    for (qint64 n = 0; (n = device.read(buffer, sizeof buffer)) >= 0 && (received.append(buffer, int(n)), !device.atEnd());)
        QVERIFY(n > 0 || ready.wait(10000));
    QCOMPARE(received, rest);
}

QTEST_GUILESS_MAIN(tst_ContentRouting)
#include "tst_contentrouting.moc"
