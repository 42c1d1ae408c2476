#include "content/contentpassword.h"
#include "tests/support/httptestserver.h"
#include "tests/support/shelltest.h"

#include <QtTest>

// Every row is one course page run end to end; CTest runs each row as its own
// test (tst_courses course:<row>).
class tst_Courses : public QObject
{
    Q_OBJECT
private slots:
    void course_data();
    void course();
};

void tst_Courses::course_data()
{
    using ShellTest::AppFolder;
    QTest::addColumn<QString>("course");
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("config");
    QTest::addColumn<QByteArray>("zipPassword");
    QTest::addColumn<QString>("baseCourse");
    QTest::addColumn<QVariantMap>("testConfig");
    const QString demo = ShellTest::sourceDir() + QStringLiteral("/examples/demo-course/webapp");

    const QString kelcab = QStringLiteral("[wrapper]\narchiveManager=kelcab\n");
    const QString plainZip = QStringLiteral("[wrapper]\nencrypted=false\n");

    const QString forward = QStringLiteral("[wrapper]\ninterceptor=ForwardRequestInterceptor\n");
    // Encrypted zips use the password the program was built with.
    const QByteArray password = contentPassword();
    const QVariantMap none;
    const QVariantMap forwardMode{{QStringLiteral("forward"), true}};

    QTest::newRow("smoke-kelcab") << "smoke" << int(AppFolder::Kelcab) << kelcab << QByteArray()
                                  << QString() << none;
    QTest::newRow("smoke-zip") << "smoke" << int(AppFolder::Zip) << plainZip << QByteArray()
                               << QString() << none;
    // The demo course with a test start page on top that opens its lessons.
    QTest::newRow("demo-kelcab") << "demo" << int(AppFolder::Kelcab) << kelcab << QByteArray()
                                 << demo << none;
    QTest::newRow("content-kelcab") << "content" << int(AppFolder::Kelcab) << kelcab
                                    << QByteArray() << QString() << none;
    QTest::newRow("content-zip-password") << "content" << int(AppFolder::Zip) << QString()
                                          << password << QString() << none;
    QTest::newRow("content-zip-plain") << "content" << int(AppFolder::Zip) << plainZip
                                       << QByteArray() << QString() << none;
    QTest::newRow("content-forward") << "content" << int(AppFolder::Loose) << forward
                                     << QByteArray() << QString() << forwardMode;
    QTest::newRow("fs-kelcab") << "fs" << int(AppFolder::Kelcab) << kelcab << QByteArray()
                               << QString() << none;
    QTest::newRow("fs-zip") << "fs" << int(AppFolder::Zip) << QString() << password << QString()
                            << none;
    // Run through tests/with-pulse.sh: a sound server and generated clips.
    QTest::newRow("audio-kelcab") << "audio" << int(AppFolder::Kelcab) << kelcab << QByteArray()
                                  << QString() << none;
    // Twice over the same user data: the second run checks what the first saved.
    QTest::newRow("storage-kelcab") << "storage" << int(AppFolder::Kelcab) << kelcab
                                    << QByteArray() << QString()
                                    << QVariantMap{{QStringLiteral("runs"), 2}};
    // "http" is replaced by the address of a local HTTP server.
    QTest::newRow("network-kelcab") << "network" << int(AppFolder::Kelcab) << kelcab
                                    << QByteArray() << QString()
                                    << QVariantMap{{QStringLiteral("http"), true}};
    QTest::newRow("camera-kelcab") << "camera" << int(AppFolder::Kelcab) << kelcab << QByteArray()
                                   << QString()
                                   << QVariantMap{{QStringLiteral("barcode"), "TAMBERLIN CAM-7"}};
    QTest::newRow("zip-kelcab") << "zip" << int(AppFolder::Kelcab) << kelcab << QByteArray()
                                << QString() << none;
    // One damaged entry (sub/big.txt, 2,000,000 characters, generated and
    // damaged after packing) beside intact ones: a request error and one log
    // line, never a short success, a hang or a crash.
    const auto damaged = [](const QVariantMap &damage, int size, const QString &logged) {
        return QVariantMap{
            {QStringLiteral("generated"),
             QVariantMap{{QStringLiteral("sub/big.txt"), size},
                         {QStringLiteral("sub/whole.txt"), size}}},
            {QStringLiteral("intact"), QStringLiteral("sub/whole.txt")},
            {QStringLiteral("damage"), damage},
            {QStringLiteral("expectLog"),
             QStringLiteral("^\\[warning\\] ZipHandler: damaged entry webapp/sub/big\\.txt in "
                            "\\S*/data\\.bin - .* - ")
                 + logged}};
    };
    const auto entry = [](const char *key, const QVariant &value) {
        return QVariantMap{{QStringLiteral("entry"), QStringLiteral("webapp/sub/big.txt")},
                           {QString::fromLatin1(key), value}};
    };
    QTest::newRow("damaged-zip") << "damaged" << int(AppFolder::Zip) << QString() << password
                                 << QString()
                                 << damaged(entry("fraction", 0.75), 2000000, "request failed");
    QTest::newRow("damaged-kelcab-first-page")
        << "damaged" << int(AppFolder::Kelcab) << kelcab << QByteArray() << QString()
        << damaged(entry("page", 0), 2000000, "request failed");
    QTest::newRow("damaged-kelcab-later-page")
        << "damaged" << int(AppFolder::Kelcab) << kelcab << QByteArray() << QString()
        << damaged(entry("page", 1), 2000000, "request failed");
    // Past the size checked before replying: the reply streams and breaks off.
    QTest::newRow("damaged-kelcab-streamed")
        << "damaged" << int(AppFolder::Kelcab) << kelcab << QByteArray() << QString()
        << damaged(entry("page", 10), 6000000, "reply cut short");
    // The page client library, every service through it; run like the audio
    // row beside a sound server, and with an HTTP server.
    QTest::newRow("sdk-kelcab") << "sdk" << int(AppFolder::Kelcab) << kelcab << QByteArray()
                                << QString() << QVariantMap{{QStringLiteral("http"), true}};
    // A streamed zip entry: read ahead off the engine's thread, intact or cut short.
    QTest::newRow("damaged-zip-streamed")
        << "damaged" << int(AppFolder::Zip) << QString() << password << QString()
        << damaged(entry("fraction", 0.75), 6000000, "reply cut short");
}

void tst_Courses::course()
{
    QFETCH(QString, course);
    QFETCH(int, format);
    QFETCH(QString, config);
    QFETCH(QByteArray, zipPassword);
    QFETCH(QString, baseCourse);
    QFETCH(QVariantMap, testConfig);
    ShellTest::HttpTestServer http;
    if (testConfig.contains(QStringLiteral("http"))) {
        QVERIFY(http.listen());
        testConfig.insert(QStringLiteral("http"), http.url());
    }

    // The camera course: a test-only plugin shows the camera view a CODE 128
    // image made here (tests/e2e/fakescanner).
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
    run.format = ShellTest::AppFolder::Format(format);
    run.config = config;
    run.zipPassword = zipPassword;
    run.baseCourse = baseCourse;
    run.testConfig = testConfig;
    run.runs = testConfig.value(QStringLiteral("runs"), 1).toInt();
    const QString failure = ShellTest::runCourse(run);
    if (!failure.isEmpty())
        QFAIL(qPrintable(failure));
}

QTEST_GUILESS_MAIN(tst_Courses)
#include "tst_courses.moc"
