// Dev mode's content: media copies renewed when their source changes, and the
// course folder standing in for the archive without letting a path out of it.
// (The mapping of "/webapp/" onto the folder is tst_devmode's real page.)

#include "contenttest.h"

#include "content/devrequestinterceptor.h"
#include "content/folderarchivemanager.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace ContentTest;

class tst_DevContent : public QObject
{
    Q_OBJECT
private slots:
    void changedMediaCopiedAgain();
    void routes_data();
    void routes();
    void folderAsArchive_data();
    void folderAsArchive();
};

// Forward mode keeps its first copy for good; the author's new recording
// must be heard after the reload.
void tst_DevContent::changedMediaCopiedAgain()
{
    QTemporaryDir dir;
    QVERIFY(writeTree(dir.path(), {{QStringLiteral("song.mp3"), "first"}}));
    DevRequestInterceptor interceptor(dir.path(), dir.path());
    auto copyOf = [&] {
        const auto d = interceptor.decide(QUrl(QStringLiteral("file:///webapp/song.mp3")));
        QFile copy(d.target.toLocalFile());
        return copy.open(QIODevice::ReadOnly) ? copy.readAll() : QByteArray("<no copy>");
    };
    QCOMPARE(copyOf(), QByteArray("first"));
    QVERIFY(writeTree(dir.path(), {{QStringLiteral("song.mp3"), "second take"}}));
    QCOMPARE(copyOf(), QByteArray("second take"));
}

void tst_DevContent::routes_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("expected"); // "" left alone; "<dir>" the temporary folder

    // A file: script has no MIME type, and a module script needs one.
    QTest::newRow("course file goes to kelzip, query kept")
        << "file:///C:/webapp/js/m.js?v=1" << "kelzip:/webapp/js/m.js?v=1";
    QTest::newRow("course file by its own path") << "file://<dir>/course/js/m.js"
                                                 << "kelzip:/webapp/js/m.js?";
    QTest::newRow("kelzip course file served") << "kelzip:/webapp/js/m.js?" << "";
    QTest::newRow("kelzip of no course file falls back to file")
        << "kelzip:/webapp/none.js?" << "file:///webapp/none.js?";
    QTest::newRow("kelzip media goes to its copy without the marker")
        << "kelzip:/webapp/a.wav?" << "<copy>";
    QTest::newRow("file outside the course stays a file") << "file://<dir>/other.js" << "";
}

void tst_DevContent::routes()
{
    QFETCH(QString, url);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QVERIFY(writeTree(dir.path(), {{QStringLiteral("course/js/m.js"), "export {};"},
                                   {QStringLiteral("course/a.wav"),
                                    ForwardRequestInterceptor::mediaMarker() + "RIFF"},
                                   {QStringLiteral("other.js"), "1;"}}));
    DevRequestInterceptor interceptor(dir.path(), dir.path() + QStringLiteral("/course"));
    const auto d = interceptor.decide(QUrl(url.replace(QLatin1String("<dir>"), dir.path())));
    if (expected.isEmpty())
        QCOMPARE(d.outcome, ForwardRequestInterceptor::Outcome::Pass);
    else if (expected == QLatin1String("<copy>"))
        QVERIFY2(d.target.isLocalFile() && QFile(d.target.toLocalFile()).size() == 4,
                 qPrintable(d.target.toString()));
    else
        QCOMPARE(d.target.toString(QUrl::FullyEncoded), expected);
}

void tst_DevContent::folderAsArchive_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("content"); // null: not found

    QTest::newRow("a file") << "webapp/data/a.txt" << QByteArray("a");
    QTest::newRow("root name in another case") << "WebApp\\data\\a.txt" << QByteArray("a");
    QTest::newRow("a folder is no entry") << "webapp/data" << QByteArray();
    QTest::newRow("another root") << "other/data/a.txt" << QByteArray();
    QTest::newRow("climbing out") << "webapp/../secret.txt" << QByteArray();
    QTest::newRow("climbing out from below") << "webapp/data/../../secret.txt" << QByteArray();
}

void tst_DevContent::folderAsArchive()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    QVERIFY(writeTree(dir.path(), {{QStringLiteral("course/data/a.txt"), "a"},
                                   {QStringLiteral("secret.txt"), "secret"}}));
    FolderArchiveManager archive(dir.path() + QStringLiteral("/course"));
    QCOMPARE(archive.exists(path), !content.isNull());
    QCOMPARE(archive.read(path), content.isNull() ? QByteArray() : content);
    QScopedPointer<QIODevice> device(archive.open(path));
    QCOMPARE(device.isNull(), content.isNull());
}

QTEST_GUILESS_MAIN(tst_DevContent)
#include "tst_devcontent.moc"
