#include "kelcabtestutil.h"
#include "../support/smallvolume.h"

#include <kelcab/archive.h>

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

using namespace kelcabtest;

namespace {

struct Run
{
    int code = -1;
    QByteArray out, err;
};

Run runTool(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(KELCAB_TOOL), arguments);
    Run run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.code = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

} // namespace

class tst_KelcabTool : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void packListCatExtractVerify();
    void damagedAndUnsafeEntries();
    void failures_data();
    void failures();
    void packCheck_data();
    void packCheck();
    void fullVolumeKeepsOldFile();

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_src;
    QString m_archive;
    QMap<QString, QByteArray> m_files; // path under webapp/ -> content
};

void tst_KelcabTool::init()
{
    m_tmp.reset(new QTemporaryDir);
    m_src = m_tmp->filePath(QStringLiteral("webapp"));
    m_files = {{"index.html", "<html>hello</html>"},
               {"js/app.js", compressibleBytes(kPage + 100)},
               {"img/logo.png", randomBytes(5000, 11)},
               {"empty.txt", {}},
               {"media/Intro.MP4", compressibleBytes(7000)},
               {"données/日本語😀.json", compressibleBytes(9000)}};
    for (auto it = m_files.cbegin(); it != m_files.cend(); ++it)
        writeFile(m_src + QLatin1Char('/') + it.key(), it.value());
    QDir(m_src).mkpath(QStringLiteral("empty-folder"));
    m_archive = m_tmp->filePath(QStringLiteral("data.bin"));
}

// Every file back byte for byte; media, empty and incompressible files raw.
void tst_KelcabTool::packListCatExtractVerify()
{
    // Left out: hidden files and symbolic links.
    writeFile(m_src + QStringLiteral("/.hidden"), "secret");
    QVERIFY(QFile::link(m_src + QStringLiteral("/index.html"), m_src + QStringLiteral("/link.html")));
    const QStringList raw{"index.html", "img/logo.png", "empty.txt", "media/Intro.MP4"};
    qint64 bytes = 0;
    QStringList listing;
    for (auto it = m_files.cbegin(); it != m_files.cend(); ++it) {
        bytes += it.value().size();
        const bool stored = raw.contains(it.key());
        listing << QStringLiteral("webapp/%1\t%2\t%3\t%4")
                       .arg(it.key())
                       .arg(stored ? it.value().size() : pageSequence(it.value()).size())
                       .arg(stored ? "raw" : "compressed", QString::fromLatin1(md5(it.value()).toHex()));
    }

    Run run = runTool({QStringLiteral("pack"), m_src, m_archive});
    QCOMPARE(run.code, 0);
    QVERIFY2(run.out.startsWith("packed 6 files: " + QByteArray::number(bytes) + " bytes in"), run.out);

    run = runTool({QStringLiteral("list"), m_archive});
    QCOMPARE(run.code, 0);
    QStringList lines = QString::fromUtf8(run.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    lines.sort();
    listing.sort();
    QCOMPARE(lines, listing);

    run = runTool({QStringLiteral("cat"), m_archive, QStringLiteral("INDEX.html")});   // inside the root
    QCOMPARE(run.code, 0);
    QCOMPARE(run.out, QByteArray("<html>hello</html>"));

    const QString out = m_tmp->filePath(QStringLiteral("out"));
    run = runTool({QStringLiteral("extract"), QStringLiteral("--sync"), m_archive, out});
    QCOMPARE(run.code, 0);
    for (auto it = m_files.cbegin(); it != m_files.cend(); ++it)
        QVERIFY2(readFile(out + QStringLiteral("/webapp/") + it.key()) == it.value(), qPrintable(it.key()));
    // Files are written under temporary names and renamed: none may stay.
    QDirIterator all(out, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    int entries = 0;
    for (; all.hasNext(); ++entries)
        QVERIFY2(!all.next().contains(QLatin1String("/.")), qPrintable(all.filePath()));
    QCOMPARE(entries, 12); // the files and their folders, the empty one too

    run = runTool({QStringLiteral("verify"), m_archive});
    QCOMPARE(run.code, 0);
    QVERIFY(run.out.contains("6 files verified"));
}

// A good file, a bad MD5, a page that does not inflate, and escaping names.
void tst_KelcabTool::damagedAndUnsafeEntries()
{
    QByteArray page = pageRecord("zipped");
    page[page.size() - 1] = char(page[page.size() - 1] ^ 0x55);
    const QByteArray data = "goodbadevil" + page;
    const QByteArray archive = archiveBytes(data, Rec::dir(QStringLiteral("r"), {
        Rec::file(QStringLiteral("good.txt"), 0, 4, 0, md5("good")),
        Rec::file(QStringLiteral("bad.txt"), 4, 3, 0, md5("not bad")),
        Rec::file(QStringLiteral(".."), 7, 4, 0, md5("evil")),
        Rec::dir(QStringLiteral("../escape"), {Rec::file(QStringLiteral("x"), 7, 4, 0, md5("evil"))}),
        Rec::file(QStringLiteral("z.txt"), 11, page.size(), kelcab::Entry::Compressed, md5("zipped")),
    }));
    QVERIFY(writeFile(m_archive, archive));

    Run run = runTool({QStringLiteral("verify"), m_archive});
    QCOMPARE(run.code, 4);
    QVERIFY2(run.err.contains("r/bad.txt: MD5 mismatch") && run.err.contains("r/z.txt: "), run.err);
    QVERIFY2(!run.err.contains("good.txt"), run.err);
    QVERIFY2(run.err.contains("2 of 5 files damaged"), run.err);

    const QString out = m_tmp->filePath(QStringLiteral("out/inner"));
    run = runTool({QStringLiteral("extract"), m_archive, out});
    QCOMPARE(run.code, 4);
    QCOMPARE(readFile(out + QStringLiteral("/r/good.txt")), QByteArray("good"));
    // Nothing of the damaged files, not even a temporary copy.
    QCOMPARE(QDir(out + QStringLiteral("/r")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("good.txt")});
    QVERIFY2(run.err.contains("r/bad.txt: MD5 mismatch"), run.err);
    QVERIFY2(run.err.contains("unsafe name"), run.err);
    QVERIFY(!QFile::exists(m_tmp->filePath(QStringLiteral("out/escape"))));
    QVERIFY(!QFile::exists(m_tmp->filePath(QStringLiteral("out/inner/escape"))));
}

void tst_KelcabTool::failures_data()
{
    QTest::addColumn<QStringList>("arguments");   // %A = archive, %S = source, %T = temp folder
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::newRow("no command") << QStringList() << 1 << "Usage";
    QTest::newRow("missing archive") << QStringList{"list", "%T/none.bin"} << 2 << "cannot open";
    QTest::newRow("not a kelcab file") << QStringList{"verify", "%S/index.html"} << 2 << "It is not an KelCab file";
    QTest::newRow("cat of a folder") << QStringList{"cat", "%A", "webapp/js"} << 3 << "no file";
    QTest::newRow("pack of a missing folder") << QStringList{"pack", "%T/none", "%T/x.bin"} << 5 << "not a folder";
    QTest::newRow("pack into the packed folder") << QStringList{"pack", "%S", "%S/data.bin"} << 1 << "must not be inside";
}

void tst_KelcabTool::failures()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QString, message);
    QCOMPARE(runTool({QStringLiteral("pack"), m_src, m_archive}).code, 0);
    for (QString &argument : arguments) {
        argument.replace(QLatin1String("%A"), m_archive).replace(QLatin1String("%S"), m_src)
            .replace(QLatin1String("%T"), m_tmp->path());
    }
    const Run run = runTool(arguments);
    QCOMPARE(run.code, code);
    QVERIFY2(QString::fromUtf8(run.err).contains(message), run.err);
    QVERIFY(!QFile::exists(m_src + QStringLiteral("/data.bin")));
}

// pack --check: names the archive would not serve as written.
void tst_KelcabTool::packCheck_data()
{
    // files: paths under webapp/; problems: line beginnings stdout must hold.
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("problems");

    QTest::newRow("clean; hidden and same name in two folders")
        << QStringList{"index.html", "a/Logo.png", "b/logo.png", ".notes#1", ".git/x?"}
        << QStringList{"5 names checked, no problems"};
    QTest::newRow("files differing in case: the first stored wins")
        << QStringList{"img/logo.png", "img/Logo.png", "img/LOGO.PNG"}
        << QStringList{"webapp/img/Logo.png: same name as webapp/img/LOGO.PNG",
                       "webapp/img/logo.png: same name as webapp/img/LOGO.PNG"};
    QTest::newRow("folders differing in case")
        << QStringList{"Media/a.mp3", "media/b.mp3"}
        << QStringList{"webapp/media: same name as webapp/Media"};
    QTest::newRow("names a URL cuts or decodes")
        << QStringList{"a#b.html", "q?.js", "100%.css", "back\\slash.png", "ok name.png"}
        << QStringList{"webapp/a#b.html: a page cannot request this name as written ('#')",
                       "webapp/q?.js: a page cannot request this name as written ('?')",
                       "webapp/100%.css: a page cannot request this name as written ('%')",
                       "webapp/back\\slash.png: a page cannot request this name as written ('\\')"};
}

void tst_KelcabTool::packCheck()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, problems);
    const QString root = m_tmp->filePath(QStringLiteral("check/webapp"));
    for (const QString &file : files)
        QVERIFY2(writeFile(root + QLatin1Char('/') + file, QByteArray()), qPrintable(file));

    const Run run = runTool({QStringLiteral("pack"), QStringLiteral("--check"), root});
    QCOMPARE(run.code, problems.first().endsWith(QLatin1String("no problems")) ? 0 : 1);
    const QStringList lines =
        QString::fromUtf8(run.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), problems.size());
    for (const QString &problem : problems)
        QVERIFY2(std::any_of(lines.cbegin(), lines.cend(),
                             [&](const QString &line) { return line.startsWith(problem); }),
                 qPrintable(problem + QStringLiteral("\n--- got ---\n") + run.out));
}

// A file that does not fit leaves the old one whole, with no temporary file.
void tst_KelcabTool::fullVolumeKeepsOldFile()
{
    const QString out = m_tmp->filePath(QStringLiteral("small")), old(420000, QLatin1Char('o'));
    ShellTest::SmallVolume volume(out, "1m");
    if (!volume.error().isEmpty())
        QSKIP(qPrintable(volume.error()));
    QVERIFY(writeFile(m_src + QStringLiteral("/big.bin"), randomBytes(1500000, 5)));
    QVERIFY(runTool({QStringLiteral("pack"), m_src, m_archive}).code == 0 && writeFile(out + "/webapp/big.bin", old.toLatin1()));
    const Run run = runTool({QStringLiteral("extract"), m_archive, out});
    QCOMPARE(run.code, 5);
    QVERIFY2(run.err.startsWith("kelcab: cannot write " + QFile::encodeName(out) + "/webapp/big.bin: No space left"), run.err);
    QCOMPARE(readFile(out + QStringLiteral("/webapp/big.bin")), old.toLatin1());
    QCOMPARE(QDir(out + "/webapp").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"big.bin"});
}

QTEST_GUILESS_MAIN(tst_KelcabTool)
#include "tst_kelcab_tool.moc"
