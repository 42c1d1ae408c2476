// The "kelzip" scheme in a real, offscreen web engine, without the bridge:
// the request interceptor, the scheme handler, the media copies and the
// forwarding interceptor serve tests/courses/content/probe.html.

#include "contenttest.h"

#include "content/contentpassword.h"
#include "content/forwardrequestinterceptor.h"
#include "content/interceptorfactory.h"
#include "content/kelcabarchivemanager.h"
#include "content/requestinterceptor.h"
#include "content/urlscheme.h"
#include "content/ziparchiveaccessmanager.h"
#include "content/ziphandler.h"
#include "plugins/filesystem/cfilesystem.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDirIterator>
#include <QJsonDocument>
#include <QQuickWebEngineProfile>
#include <QTemporaryDir>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>
#include <QtTest>

using namespace ContentTest;

namespace {

const char kStartQuery[] = "?backend=desktop&platform=win";

QString courseDir()
{
    return QStringLiteral(TAMBERLIN_SOURCE_DIR "/tests/courses/content");
}

bool copyTree(const QString &from, const QString &to)
{
    QDirIterator it(from, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        const QString target = to + QLatin1Char('/') + QDir(from).relativeFilePath(file);
        if (!QDir().mkpath(QFileInfo(target).absolutePath()) || !QFile::copy(file, target))
            return false;
    }
    return true;
}

Files treeFiles(const QString &dir, const QString &prefix)
{
    Files files;
    QDirIterator it(dir, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        files.insert(prefix + QDir(dir).relativeFilePath(file), readFile(file));
    }
    return files;
}

// Records what reaches requestStarted, after Chromium's own URL handling.
class RecordingHandler : public ZipHandler
{
public:
    using ZipHandler::ZipHandler;
    void requestStarted(QWebEngineUrlRequestJob *job) override
    {
        urls.append(job->requestUrl());
        ZipHandler::requestStarted(job);
    }
    QList<QUrl> urls;
};

// Signals the answer of one script run.
class ScriptAnswer : public QObject
{
    Q_OBJECT
signals:
    void ready();
};

QVariant evaluate(QWebEnginePage &page, const QString &script)
{
    QVariant result;
    ScriptAnswer answer;
    QSignalSpy spy(&answer, &ScriptAnswer::ready);
    page.runJavaScript(script, [&](const QVariant &value) {
        result = value;
        emit answer.ready();
    });
    if (spy.isEmpty() && !spy.wait(20000))
        qWarning("script did not answer: %s", qPrintable(script));
    return result;
}

// Waits with a real event loop: every request hops through the UI thread,
// and polling with sleeps would slow each hop down.
bool waitForTitle(QWebEnginePage &page, const QString &title, int timeoutMs)
{
    QSignalSpy spy(&page, &QWebEnginePage::titleChanged);
    QDeadlineTimer deadline(timeoutMs);
    while (page.title() != title && !deadline.hasExpired())
        spy.wait(int(qMax<qint64>(1, deadline.remainingTime())));
    return page.title() == title;
}

// Files directly in the temporary folder holding exactly these bytes.
QStringList tempCopiesOf(const QByteArray &content)
{
    QStringList found;
    const QFileInfoList files = QDir(QDir::tempPath()).entryInfoList(QDir::Files);
    for (const QFileInfo &info : files) {
        if (info.size() == content.size() && readFile(info.filePath()) == content)
            found.append(info.fileName());
    }
    return found;
}

} // namespace

class tst_KelzipScheme : public QObject
{
    Q_OBJECT
public:
    explicit tst_KelzipScheme(bool registered) : m_registered(registered) {}

private slots:
    void initTestCase();
    void servesCourse_data();
    void servesCourse();
    void brokenEntriesEndInErrors();
    void factoryInstallsHandlerOnTheSharedProfile();
    void forwardModeServesLooseFiles();
    void lateRegistrationIsIgnored();

private:
    // Loads probe.html and returns the failed checks, as text.
    QStringList runProbe(const QUrl &url, QString *log);

    bool m_registered;
    QTemporaryDir m_dir;
    Files m_course;
};

void tst_KelzipScheme::initTestCase()
{
    QVERIFY2(m_registered, "kelzip was not registered before the web engine started");
    QVERIFY(isKelzipSchemeRegistered());
    const QWebEngineUrlScheme scheme = QWebEngineUrlScheme::schemeByName("kelzip");
    QCOMPARE(int(scheme.flags()), 7);
    QCOMPARE(scheme.syntax(), QWebEngineUrlScheme::Syntax::Path);
    QVERIFY(registerKelzipScheme()); // again: harmless
    QVERIFY(m_dir.isValid());
    m_course = treeFiles(courseDir(), QStringLiteral("webapp/"));
    QVERIFY(m_course.contains(QStringLiteral("webapp/probe.html")));
}

QStringList tst_KelzipScheme::runProbe(const QUrl &url, QString *log)
{
    QWebEnginePage page(QWebEngineProfile::defaultProfile());
    QSignalSpy loaded(&page, &QWebEnginePage::loadFinished);
    page.load(url);
    if (!waitForTitle(page, QStringLiteral("done"), 120000))
        return {QStringLiteral("the probe did not finish; title: ") + page.title()
                + QStringLiteral(", url: ") + page.url().toString()};
    const QVariantList results =
        QJsonDocument::fromJson(evaluate(page, QStringLiteral("JSON.stringify(window.results)"))
                                    .toString()
                                    .toUtf8())
            .toVariant()
            .toList();
    QStringList failed;
    for (const QVariant &r : results) {
        const QVariantMap m = r.toMap();
        const QString line = m.value("label").toString() + QStringLiteral(" (")
            + m.value("detail").toString() + QLatin1Char(')');
        if (log)
            *log += (m.value("ok").toBool() ? QStringLiteral("ok   ") : QStringLiteral("FAIL "))
                + line + QLatin1Char('\n');
        if (!m.value("ok").toBool())
            failed.append(line);
    }
    if (results.isEmpty())
        failed.append(QStringLiteral("no results"));
    return failed;
}

void tst_KelzipScheme::servesCourse_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("kelcab archive") << "kelcab";
    QTest::newRow("zip archive") << "zip";
    QTest::newRow("encrypted zip archive") << "encrypted zip";
}

void tst_KelzipScheme::servesCourse()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    QScopedPointer<ArchiveAccessManager> archive;
    if (kind == QLatin1String("kelcab")) {
        QVERIFY(copyTree(courseDir(), dir.filePath(QStringLiteral("tree/webapp"))));
        QVERIFY(writeKelcab(dir.filePath(QStringLiteral("tree/webapp")), dir.filePath("data.bin")));
        archive.reset(new KelCabArchiveManager(dir.filePath("data.bin")));
    } else {
        const QByteArray password = kind == QLatin1String("zip") ? QByteArray() : contentPassword();
        QVERIFY(writeZip(dir.filePath("data.zip"), m_course, password));
        archive.reset(new ZipArchiveAccessManager(dir.filePath("data.zip")));
    }
    const QByteArray wav = m_course.value(QStringLiteral("webapp/media/tone.wav"));
    const QStringList wavBefore = tempCopiesOf(wav);

    QScopedPointer<RecordingHandler> handler(
        new RecordingHandler(archive.data(), QSharedPointer<CFileSystem>(new CFileSystem(archive.data()))));
    RequestInterceptor interceptor(archive.data(), QString());
    QWebEngineProfile *profile = QWebEngineProfile::defaultProfile();
    profile->installUrlSchemeHandler("kelzip", handler.data());
    profile->setUrlRequestInterceptor(&interceptor);

    QString log;
    const QStringList failed =
        runProbe(QUrl(QStringLiteral("file:///webapp/probe.html") + kStartQuery), &log);

    profile->setUrlRequestInterceptor(nullptr);
    profile->removeUrlSchemeHandler(handler.data());
    if (qEnvironmentVariableIsSet("TAMBERLIN_TEST_VERBOSE")) {
        qInfo().noquote() << log;
        for (const QUrl &url : qAsConst(handler->urls))
            qInfo().noquote() << "requestStarted:" << url.toString(QUrl::FullyEncoded);
    }
    QVERIFY2(failed.isEmpty(), qPrintable(failed.join('\n') + "\n\n" + log));

    // The second request of the wav was answered from the first copy.
    const QStringList wavAfter = tempCopiesOf(wav);
    QCOMPARE(wavAfter.size(), wavBefore.size() + 1);
    // Named by a bare UUID: playing needs no extension.
    for (const QString &name : wavAfter) {
        if (!wavBefore.contains(name))
            QVERIFY2(QRegularExpression("^[0-9a-f-]{36}$").match(name).hasMatch(), qPrintable(name));
    }
    int wavRequests = 0;
    for (const QUrl &url : qAsConst(handler->urls)) {
        if (url.path().endsWith(QLatin1String("tone.wav")))
            ++wavRequests;
        // Nothing that reached the handler named a place outside the tree
        // without being refused.
        const QString path = ZipHandler::archivePath(url);
        QVERIFY2(path.isNull() || path.startsWith(QLatin1String("webapp/")),
                 qPrintable(url.toString()));
    }
    QVERIFY2(wavRequests >= 2, qPrintable(QString::number(wavRequests)));

    handler.reset(); // with the file system plugin: its cache and copies go
    QCOMPARE(tempCopiesOf(wav), wavBefore);
}

void tst_KelzipScheme::brokenEntriesEndInErrors()
{
    // An entry that cannot be opened, streamed or copied, must end in an
    // error event: a request left unanswered would hang the page's loader.
    const QByteArray page = R"(<!DOCTYPE html><html><head><title>broken</title></head><body>
<script>
function load(tag, src) {
    return new Promise(function (resolve) {
        const el = document.createElement(tag);
        el.onload = function () { resolve('load'); };
        el.onloadedmetadata = function () { resolve('load'); };
        el.onerror = function () { resolve('error'); };
        el.src = src;
        if (tag === 'script') document.head.appendChild(el);
    });
}
Promise.all([load('script', 'broken.js'), load('audio', 'broken.mp3')]).then(function (r) {
    window.results = r;
    document.title = 'done';
});
</script></body></html>)";
    FakeArchive archive({{QStringLiteral("webapp/page.html"), page},
                         {QStringLiteral("webapp/broken.js"), "x"},
                         {QStringLiteral("webapp/broken.mp3"), "x"}});
    archive.brokenEntries = QStringList{QStringLiteral("webapp/broken.js"),
                                        QStringLiteral("webapp/broken.mp3")};
    ZipHandler handler(&archive, QSharedPointer<CFileSystem>(new CFileSystem(&archive)));
    RequestInterceptor interceptor(&archive, QString());
    QWebEngineProfile *profile = QWebEngineProfile::defaultProfile();
    profile->installUrlSchemeHandler("kelzip", &handler);
    profile->setUrlRequestInterceptor(&interceptor);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot open webapp/broken.js - cannot open file"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot open archive entry webapp/broken.mp3"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("media copy of /webapp/broken.mp3 failed with code 605"));
    QWebEnginePage view(profile);
    view.load(QUrl(QStringLiteral("file:///webapp/page.html")));
    const bool finished = waitForTitle(view, QStringLiteral("done"), 60000);
    const QVariant results = evaluate(view, QStringLiteral("window.results"));
    profile->setUrlRequestInterceptor(nullptr);
    profile->removeUrlSchemeHandler(&handler);
    QVERIFY2(finished, qPrintable(view.title()));
    QCOMPARE(results.toStringList(), (QStringList{QStringLiteral("error"), QStringLiteral("error")}));
}

void tst_KelzipScheme::factoryInstallsHandlerOnTheSharedProfile()
{
    // The factory installs the handler on the QML default profile; the
    // widgets default profile shares it.
    QTemporaryDir dir;
    QVERIFY(writeZip(dir.filePath("data.zip"), m_course));
    ZipArchiveAccessManager archive(dir.filePath("data.zip"));
    QScopedPointer<QWebEngineUrlRequestInterceptor> interceptor(
        createRequestInterceptor(&archive, nullptr));
    QVERIFY(qobject_cast<RequestInterceptor *>(interceptor.data()));
    QVERIFY(QQuickWebEngineProfile::defaultProfile()->urlSchemeHandler("kelzip"));
    QQuickWebEngineProfile::defaultProfile()->setUrlRequestInterceptor(interceptor.data());

    QWebEnginePage page(QWebEngineProfile::defaultProfile());
    QSignalSpy loaded(&page, &QWebEnginePage::loadFinished);
    page.load(QUrl(QStringLiteral("file:///webapp/probe.html") + kStartQuery));
    QVERIFY(loaded.wait(60000));
    QCOMPARE(loaded.at(0).at(0).toBool(), true);
    QCOMPARE(evaluate(page, QStringLiteral("location.href")).toString(),
             QStringLiteral("kelzip:/webapp/probe.html") + kStartQuery);
    QCOMPARE(evaluate(page, QStringLiteral("window.appLoaded === true")).toBool(), true);

    QQuickWebEngineProfile::defaultProfile()->setUrlRequestInterceptor(nullptr);
    interceptor.reset();
    // The handler went with the interceptor.
    QVERIFY(!QQuickWebEngineProfile::defaultProfile()->urlSchemeHandler("kelzip"));
}

void tst_KelzipScheme::forwardModeServesLooseFiles()
{
    QTemporaryDir root;
    QVERIFY(copyTree(courseDir(), root.filePath(QStringLiteral("webapp"))));
    // Media stored with the marker in front, as the forwarding mode expects.
    for (const QString &name : {QStringLiteral("tone.wav"), QStringLiteral("tone.ogg"),
                                QStringLiteral("clip.webm")}) {
        const QString path = root.filePath(QStringLiteral("webapp/media/") + name);
        const QByteArray plain = readFile(path);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ForwardRequestInterceptor::mediaMarker() + plain);
    }
    ForwardRequestInterceptor interceptor(root.path());
    QWebEngineProfile *profile = QWebEngineProfile::defaultProfile();
    profile->setUrlRequestInterceptor(&interceptor);
    QString log;
    const QStringList failed = runProbe(
        QUrl(QStringLiteral("file:///C:/webapp/probe.html") + kStartQuery + "#forward"), &log);
    profile->setUrlRequestInterceptor(nullptr);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.join('\n') + "\n\n" + log));
}

void tst_KelzipScheme::lateRegistrationIsIgnored()
{
    // Once the web engine runs, Qt ignores new schemes: kelzip has to be
    // registered before the first profile or page exists.
    QWebEngineProfile::defaultProfile();
    QTest::ignoreMessage(QtWarningMsg,
                         "QWebEngineUrlScheme::registerScheme: Too late to register scheme \"late\"");
    QWebEngineUrlScheme::registerScheme(QWebEngineUrlScheme("late"));
    QVERIFY(QWebEngineUrlScheme::schemeByName("late").name().isEmpty());
}

int main(int argc, char **argv)
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // As the program runs the web engine.
    QVector<char *> args(argv, argv + argc);
    char webSecurity[] = "--disable-web-security";
    args.append(webSecurity);
    int count = args.size();
    QApplication app(count, args.data());
    // After the application object, before any web engine class: the
    // DesktopBridge constructor does the same.
    const bool registered = registerKelzipScheme();
    tst_KelzipScheme test(registered);
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_kelzipscheme.moc"
