#include "kelcabtestutil.h"

#include <kelcab/archive.h>

#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <stdexcept>

#include <sys/resource.h>

using namespace kelcabtest;
using kelcab::Archive;
using kelcab::Entry;

namespace {

// Peak resident set of the process so far, in MiB.
long peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

QByteArray nested(int depth)
{
    Rec leaf = Rec::file(QStringLiteral("leaf"), 0, 0);
    for (int i = 0; i < depth; ++i)
        leaf = Rec::dir(QStringLiteral("d"), {leaf});
    return record(Rec::dir(QStringLiteral("r"), {leaf}));
}

} // namespace

// Damaged archives fail with a message, never allocating what the file claims.
class tst_KelcabHostile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_baseRss = peakRssMiB(); }
    void damagedTree_data();
    void damagedTree();
    void damagedPages_data();
    void damagedPages();

private:
    long m_baseRss = 0;
};

void tst_KelcabHostile::damagedTree_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("message");   // part of the expected exception text

    const QByteArray data = "0123456789";
    const QByteArray goodTree = record(Rec::dir(QStringLiteral("r"), {Rec::file(QStringLiteral("f"), 0, 10)}));
    const QByteArray rootHead = qstr(QStringLiteral("r")) + be64(0) + be64(0) + be32(4);

    QTest::newRow("empty file") << QByteArray() << "It is not an KelCab file";
    QTest::newRow("wrong magic") << (qstr(QStringLiteral("KELCAX")) + QByteArray(18, 0) + goodTree) << "It is not an KelCab file";
    QTest::newRow("header cut after the magic") << header(44).left(20) << "header is truncated";
    QTest::newRow("magic length of two gigabytes") << (be32(0x80000000u) + QByteArray(60, 'K')) << "not an KelCab";
    QTest::newRow("tree offset past the end") << (header(4000) + data + goodTree) << "tree offset 4000";
    QTest::newRow("tree offset negative") << (header(-1) + data + goodTree) << "tree offset -1";
    QTest::newRow("tree offset at max placeholder") << (header(std::numeric_limits<qint64>::max()) + data + goodTree) << "tree offset";
    QTest::newRow("data offset inside the header") << (header(44, 10) + data + goodTree) << "data offset 10";
    QTest::newRow("data offset past the tree") << (header(44, 60) + data + goodTree) << "tree offset 44";
    QTest::newRow("tree offset leaves no room for a record") << (header(44) + data + goodTree.left(20)) << "tree offset 44";
    QTest::newRow("child count of four billion")
        << (header(44) + data + rootHead + be32(0xFFFFFFFFu) + QByteArray(64, 0)) << "claims 4294967295 children";
    QTest::newRow("child count just above what fits")
        << (header(44) + data + rootHead + be32(3) + QByteArray(64, 0)) << "claims 3 children";
    QTest::newRow("name length of two gigabytes")
        << (header(44) + data + be32(0x80000000u) + QByteArray(64, 0)) << "name of 2147483648 bytes";
    QTest::newRow("odd name length") << (header(44) + data + be32(3) + QByteArray(64, 0)) << "odd byte length";
    QTest::newRow("hash length of two gigabytes")
        << (header(44) + data + rootHead + be32(0) + be32(0x7FFFFFF0u) + QByteArray(8, 0)) << "hash of 2147483632 bytes";
    QTest::newRow("tree ends early in the children") << (header(44) + data + goodTree.left(goodTree.size() - 2)) << "ends early";
    QTest::newRow("tree ends before the root's hash")
        << (header(34) + qstr(QStringLiteral("root-name")) + be64(0) + be64(0) + be32(4) + be32(0)) << "ends early";
    QTest::newRow("file before the data region")
        << archiveBytes(data, Rec::dir(QStringLiteral("r"), {Rec::file(QStringLiteral("f"), -1, 5)})) << "outside the data region";
    QTest::newRow("file past the data region")
        << archiveBytes(data, Rec::dir(QStringLiteral("r"), {Rec::file(QStringLiteral("f"), 5, 6)})) << "outside the data region";
    QTest::newRow("negative file size")
        << archiveBytes(data, Rec::dir(QStringLiteral("r"), {Rec::file(QStringLiteral("f"), 0, -5)})) << "outside the data region";
    QTest::newRow("offset plus size overflows")
        << archiveBytes(data, Rec::dir(QStringLiteral("r"), {Rec::file(QStringLiteral("f"), 5, std::numeric_limits<qint64>::max())}))
        << "outside the data region";
    QTest::newRow("tree one level too deep") << (header(34) + nested(256)) << "deeper than 256";
}

void tst_KelcabHostile::damagedTree()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, message);
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("bad.kcab"));
    QVERIFY(writeFile(path, bytes));
    // Loaded over a good archive: a failed load must not keep the old tree.
    const QString good = tmp.filePath(QStringLiteral("good.kcab"));
    QVERIFY(writeFile(good, archiveBytes("abc", Rec::dir(QStringLiteral("r"), {
        Rec::file(QStringLiteral("f"), 0, 3)}))));
    Archive archive;
    QVERIFY(archive.load(good));
    try {
        archive.load(path);
        QFAIL("a damaged archive loaded");
    } catch (const std::runtime_error &error) {
        QVERIFY2(QString::fromLocal8Bit(error.what()).contains(message), error.what());
    }
    QVERIFY(!archive.root().isValid());
    QVERIFY2(peakRssMiB() - m_baseRss < 100, "a claimed size was allocated");
}

void tst_KelcabHostile::damagedPages_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QByteArray>("readable");   // what comes out before the error
    QTest::addColumn<QString>("message");

    const QByteArray page = compressibleBytes(kPage);
    const QByteArray good = pageRecord(page);
    const QByteArray small = pageRecord("hello world");
    // The Adler-32 check at the end of the zlib stream no longer matches.
    QByteArray flipped = small;
    flipped[flipped.size() - 1] = char(flipped[flipped.size() - 1] ^ 0x55);
    const QByteArray notZlib = be32(4 + 11) + be32(11) + QByteArray("not zlib!!!");
    QByteArray longer = be32(quint32(small.size() - 4 + 100)) + small.mid(4);

    QTest::newRow("page record longer than the stored range") << longer << QByteArray() << "runs past the end";
    QTest::newRow("record length of four gigabytes") << (be32(0xFFFFFFFEu) + small.mid(4)) << QByteArray() << "longer than any page";
    QTest::newRow("null record") << (be32(0xFFFFFFFFu) + small.mid(4)) << QByteArray() << "damaged";
    QTest::newRow("record without a stream") << be32(4) + be32(5) << QByteArray() << "damaged";
    QTest::newRow("record header cut short") << small.left(6) << QByteArray() << "truncated";
    QTest::newRow("zlib data that does not inflate") << flipped << QByteArray() << "damaged";
    QTest::newRow("stream that is not zlib") << notZlib << QByteArray() << "damaged";
    QTest::newRow("page claims four gigabytes")
        << (small.left(4) + be32(0xFFFFFFFFu) + small.mid(8)) << QByteArray() << "page claims 4294967295 bytes";
    QTest::newRow("page claims one byte more than a page")
        << (small.left(4) + be32(kPage + 1) + small.mid(8)) << QByteArray() << "page claims 524289 bytes";
    QTest::newRow("page claims zero bytes") << (small.left(4) + be32(0) + small.mid(8)) << QByteArray() << "page claims 0";
    QTest::newRow("page shorter than it claims")
        << (small.left(4) + be32(12) + small.mid(8)) << QByteArray() << "holds 11 bytes instead of 12";
    QTest::newRow("page longer than it claims")
        << (small.left(4) + be32(10) + small.mid(8)) << QByteArray() << "longer than its stated";
    QTest::newRow("damage in the second page") << (good + flipped) << page << "damaged";
    QTest::newRow("stored range ends inside a record") << (good + small.left(small.size() - 3)) << page << "runs past the end";
    QTest::newRow("garbage after the last page") << (small + QByteArray(3, 'x')) << QByteArray("hello world") << "truncated";
}

void tst_KelcabHostile::damagedPages()
{
    QFETCH(QByteArray, stored);
    QFETCH(QByteArray, readable);
    QFETCH(QString, message);
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("bad.kcab"));
    QVERIFY(writeFile(path, archiveBytes(stored, Rec::dir(QStringLiteral("r"), {
        Rec::file(QStringLiteral("f"), 0, stored.size(), Entry::Compressed)}))));
    Archive archive;
    QVERIFY(archive.load(path));
    for (const int chunk : {1, 1000, 2 * kPage}) {
        std::unique_ptr<QIODevice> device(archive.makeReadOnlyDevice(archive.find(QStringLiteral("r/f"))));
        QVERIFY(device);
        bool ok = true;
        const QByteArray read = drain(device.get(), chunk, &ok);
        QVERIFY2(!ok, "a damaged page read as a clean end");
        QVERIFY(read == readable);
        QVERIFY2(device->errorString().contains(message), qPrintable(device->errorString()));
        QVERIFY(device->atEnd());
        QCOMPARE(device->read(1), QByteArray());
        // readAll() as the shell uses it: what was good, never garbage.
        std::unique_ptr<QIODevice> again(archive.makeReadOnlyDevice(archive.find(QStringLiteral("r/f"))));
        QVERIFY(readable.startsWith(again->readAll()));
    }
    QVERIFY2(peakRssMiB() - m_baseRss < 100, "a claimed size was allocated");
}

QTEST_GUILESS_MAIN(tst_KelcabHostile)
#include "tst_kelcab_hostile.moc"
