// The "kelzip" scheme in a real, offscreen web engine, without the bridge:
// what only shows in process. That the course is served (scripts, styles,
// names, dot segments, media copies) is checked on the real page by the
// content course (e2e_content-*) and in tst_contentrouting.

#include "contenttest.h"

#include "content/interceptorfactory.h"
#include "content/requestinterceptor.h"
#include "content/urlscheme.h"
#include "content/ziparchiveaccessmanager.h"
#include "content/ziphandler.h"
#include "plugins/filesystem/cfilesystem.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QQuickWebEngineProfile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QtTest>

using namespace ContentTest;

namespace {

const char kStartQuery[] = "?backend=desktop&platform=win";

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

// Waits with a real event loop: every request hops through the UI thread.
bool waitForTitle(QWebEnginePage &page, const QString &title, int timeoutMs)
{
    QSignalSpy spy(&page, &QWebEnginePage::titleChanged);
    QDeadlineTimer deadline(timeoutMs);
    while (page.title() != title && !deadline.hasExpired())
        spy.wait(int(qMax<qint64>(1, deadline.remainingTime())));
    return page.title() == title;
}

} // namespace

class tst_KelzipScheme : public QObject
{
    Q_OBJECT
public:
    explicit tst_KelzipScheme(bool registered) : m_registered(registered) {}

private slots:
    void initTestCase()
    {
        QVERIFY2(m_registered, "kelzip was not registered before the web engine started");
        QVERIFY(isKelzipSchemeRegistered());
    }
    void brokenEntriesEndInErrors();
    void factoryInstallsHandlerOnTheSharedProfile();

private:
    bool m_registered;
};

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
    QVERIFY(writeZip(dir.filePath("data.zip"),
                     {{"webapp/index.html", "<html><script>window.appLoaded = true;</script></html>"}}));
    ZipArchiveAccessManager archive(dir.filePath("data.zip"));
    QScopedPointer<QWebEngineUrlRequestInterceptor> interceptor(
        createRequestInterceptor(&archive, nullptr));
    QVERIFY(qobject_cast<RequestInterceptor *>(interceptor.data()));
    QVERIFY(QQuickWebEngineProfile::defaultProfile()->urlSchemeHandler("kelzip"));
    QQuickWebEngineProfile::defaultProfile()->setUrlRequestInterceptor(interceptor.data());

    QWebEnginePage page(QWebEngineProfile::defaultProfile());
    QSignalSpy loaded(&page, &QWebEnginePage::loadFinished);
    page.load(QUrl(QStringLiteral("file:///webapp/index.html") + kStartQuery));
    QVERIFY(loaded.wait(60000));
    QCOMPARE(loaded.at(0).at(0).toBool(), true);
    QCOMPARE(evaluate(page, QStringLiteral("location.href")).toString(),
             QStringLiteral("kelzip:/webapp/index.html") + kStartQuery);
    QCOMPARE(evaluate(page, QStringLiteral("window.appLoaded === true")).toBool(), true);

    QQuickWebEngineProfile::defaultProfile()->setUrlRequestInterceptor(nullptr);
    interceptor.reset();
    // The handler went with the interceptor.
    QVERIFY(!QQuickWebEngineProfile::defaultProfile()->urlSchemeHandler("kelzip"));
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
