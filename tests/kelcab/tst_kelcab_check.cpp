// kelcab pack --check: names that the archive would not serve as written.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

class tst_KelcabCheck : public QObject
{
    Q_OBJECT
private slots:
    void check_data();
    void check();
};

void tst_KelcabCheck::check_data()
{
    // files: paths under webapp/ ("x/" is an empty folder); lines: what
    // stdout must hold, one problem per line.
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("problems");

    QTest::newRow("clean; hidden and same name in two folders")
        << QStringList{"index.html", "a/Logo.png", "b/logo.png", ".notes#1", ".git/x?"} << 0
        << QStringList{};
    QTest::newRow("files differing in case: the first stored wins")
        << QStringList{"img/logo.png", "img/Logo.png", "img/LOGO.PNG"} << 1
        << QStringList{"webapp/img/Logo.png: same name as webapp/img/LOGO.PNG",
                       "webapp/img/logo.png: same name as webapp/img/LOGO.PNG"};
    QTest::newRow("folders differing in case")
        << QStringList{"Media/a.mp3", "media/b.mp3"} << 1
        << QStringList{"webapp/media: same name as webapp/Media"};
    QTest::newRow("names a URL cuts or decodes")
        << QStringList{"a#b.html", "q?.js", "100%.css", "back\\slash.png", "ok name.png"} << 1
        << QStringList{"webapp/a#b.html: a page cannot request this name as written ('#')",
                       "webapp/q?.js: a page cannot request this name as written ('?')",
                       "webapp/100%.css: a page cannot request this name as written ('%')",
                       "webapp/back\\slash.png: a page cannot request this name as written ('\\')"};
}

void tst_KelcabCheck::check()
{
    QFETCH(QStringList, files);
    QFETCH(int, exitCode);
    QFETCH(QStringList, problems);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = dir.path() + QStringLiteral("/webapp");
    for (const QString &file : files) {
        const QString path = root + QLatin1Char('/') + file;
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QFile f(path);
        QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
    }

    QProcess tool;
    tool.start(QStringLiteral(KELCAB_TOOL), {QStringLiteral("pack"), QStringLiteral("--check"), root});
    QVERIFY(tool.waitForFinished(60000));
    const QString out = QString::fromUtf8(tool.readAllStandardOutput());
    QCOMPARE(tool.exitCode(), exitCode);
    const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (exitCode == 0) {
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().endsWith(QLatin1String("no problems")), qPrintable(out));
        return;
    }
    QCOMPARE(lines.size(), problems.size());
    for (const QString &problem : problems)
        QVERIFY2(std::any_of(lines.cbegin(), lines.cend(),
                             [&](const QString &line) { return line.startsWith(problem); }),
                 qPrintable(problem + QStringLiteral("\n--- got ---\n") + out));
}

QTEST_GUILESS_MAIN(tst_KelcabCheck)
#include "tst_kelcab_check.moc"
