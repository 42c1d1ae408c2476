#include "content/contentpassword.h"
#include "tests/support/httptestserver.h"
#include "tests/support/shelltest.h"

#include <QtTest>

// Each row runs one course page end to end, as its own CTest test (course:<row>).
class tst_Courses : public QObject
{
    Q_OBJECT
private slots:
    void course_data();
    void course();
};

void tst_Courses::course_data()
{
    QTest::addColumn<QString>("course");
    // kelcab, zip (the program's own password), plain-zip, loose (forwarded) or dev (--dev).
    QTest::addColumn<QString>("archive");
    QTest::addColumn<QVariantMap>("testConfig");
    const auto row = [](const char *tag, const char *course, const char *archive,
                        const QVariantMap &testConfig = {}) {
        QTest::newRow(tag) << QString::fromLatin1(course) << QString::fromLatin1(archive)
                           << testConfig;
    };

    row("smoke-kelcab", "smoke", "kelcab");
    // The demo course with a test start page on top that opens its lessons.
    row("demo-kelcab", "demo", "kelcab");
    row("content-kelcab", "content", "kelcab");
    row("content-zip-password", "content", "zip");
    row("content-zip-plain", "content", "plain-zip");
    row("content-forward", "content", "loose", {{"forward", true}});
    row("fs-kelcab", "fs", "kelcab");
    row("fs-zip", "fs", "zip");
    // Run through tests/with-pulse.sh: a sound server and generated clips.
    row("audio-kelcab", "audio", "kelcab");
    // Twice over the same user data: the second run checks what the first saved.
    row("storage-kelcab", "storage", "kelcab", {{"runs", 2}});
    // "http" is replaced by the address of a local HTTP server.
    row("network-kelcab", "network", "kelcab", {{"http", true}});
    row("camera-kelcab", "camera", "kelcab", {{"barcode", "TAMBERLIN CAM-7"}});
    row("zip-kelcab", "zip", "kelcab");
    // One damaged entry beside intact ones: a request error and one log line.
    const auto damaged = [](const char *key, const QVariant &where, int size,
                            const QString &logged) {
        return QVariantMap{
            {"generated", QVariantMap{{"sub/big.txt", size}, {"sub/whole.txt", size}}},
            {"intact", "sub/whole.txt"},
            {"damage", QVariantMap{{"entry", "webapp/sub/big.txt"}, {key, where}}},
            {"expectLog", "^\\[warning\\] ZipHandler: damaged entry webapp/sub/big\\.txt in "
                          "\\S*/data\\.bin - .* - " + logged}};
    };
    row("damaged-zip", "damaged", "zip", damaged("fraction", 0.75, 2000000, "request failed"));
    row("damaged-kelcab-first-page", "damaged", "kelcab",
        damaged("page", 0, 2000000, "request failed"));
    row("damaged-kelcab-later-page", "damaged", "kelcab",
        damaged("page", 1, 2000000, "request failed"));
    // Past the size checked before replying: the reply streams and breaks off.
    row("damaged-kelcab-streamed", "damaged", "kelcab",
        damaged("page", 10, 6000000, "reply cut short"));
    // The page client library, every service through it (with-pulse.sh too).
    row("sdk-kelcab", "sdk", "kelcab", {{"http", true}});
    // A streamed zip entry: read ahead off the engine's thread, intact or cut short.
    row("damaged-zip-streamed", "damaged", "zip",
        damaged("fraction", 0.75, 6000000, "reply cut short"));
    // Third-party bundles (tests/compat, fetched at set-up) in every mode.
    for (const char *bundle : {"reveal", "pdf", "katex", "sql", "lottie", "spa"})
        for (const char *mode : {"kelcab", "zip", "plain-zip", "dev"})
            row(qPrintable(QStringLiteral("compat-%1-%2").arg(bundle, mode)),
                qPrintable(QStringLiteral("../compat/") + bundle), mode, {{"bundle", bundle}});
}

void tst_Courses::course()
{
    QFETCH(QString, course);
    QFETCH(QString, archive);
    QFETCH(QVariantMap, testConfig);
    ShellTest::HttpTestServer http;
    if (testConfig.contains(QStringLiteral("http"))) {
        QVERIFY(http.listen());
        testConfig.insert(QStringLiteral("http"), http.url());
    }

    // A test-only plugin (fakescanner) shows the camera view a CODE 128 image.
    QTemporaryDir scans;
    if (course == QLatin1String("camera")) {
        const QString png = scans.filePath(QStringLiteral("code128.png"));
        const QString zint = QStandardPaths::findExecutable(QStringLiteral("zint"));
        QVERIFY2(!zint.isEmpty(), "zint is needed: scripts/install-deps.sh installs it");
        QCOMPARE(QProcess::execute(zint, {"-b", "20", "-d", testConfig.value("barcode").toString(),
                                          "--scale=2", "--whitesp=10", "-o", png}),
                 0);
        qputenv("QT_PLUGIN_PATH", FAKESCANNER_PLUGINS);
        qputenv("QT_QPA_GENERIC_PLUGINS", "tamberlinfakescanner:" + png.toUtf8());
    }

    ShellTest::CourseRun run;
    run.course = course;
    if (archive == QLatin1String("kelcab")) {
        run.config = QStringLiteral("[wrapper]\narchiveManager=kelcab\n");
    } else if (archive == QLatin1String("zip")) {
        run.format = ShellTest::AppFolder::Zip;
        run.zipPassword = contentPassword();
    } else if (archive == QLatin1String("plain-zip")) {
        run.format = ShellTest::AppFolder::Zip;
        run.config = QStringLiteral("[wrapper]\nencrypted=false\n");
    } else {
        run.format = ShellTest::AppFolder::Loose;
        run.dev = archive == QLatin1String("dev");
        if (!run.dev)
            run.config = QStringLiteral("[wrapper]\ninterceptor=ForwardRequestInterceptor\n");
    }
    if (course == QLatin1String("demo"))
        run.baseCourse = ShellTest::sourceDir() + QStringLiteral("/examples/demo-course/webapp");
    if (testConfig.contains(QStringLiteral("bundle"))) {
        run.baseCourse = QStringLiteral(TAMBERLIN_BINARY_DIR "/tests/compat/bundles/")
            + testConfig.value(QStringLiteral("bundle")).toString();
        if (!QFileInfo(run.baseCourse + QStringLiteral("/.pinned")).exists())
            QSKIP(qPrintable(QStringLiteral("%1 was not fetched: the npm registry could not be "
                                            "reached at set-up (compat_fetch)").arg(run.baseCourse)));
    }
    run.testConfig = testConfig;
    run.runs = testConfig.value(QStringLiteral("runs"), 1).toInt();
    const QString failure = ShellTest::runCourse(run);
    if (!failure.isEmpty())
        QFAIL(qPrintable(failure));
}

QTEST_GUILESS_MAIN(tst_Courses)
#include "tst_courses.moc"
