// Damaged entries of content archives: the entry's device reports the damage
// as a read error (never a short end), is destroyed safely afterwards, and
// the reply prepared from it fails before anything is served. Built a second
// time under AddressSanitizer (tst_damagedcontent_asan, devices only).

#include "contenttest.h"
#include "tests/support/damagearchive.h"

#include "content/kelcabarchivemanager.h"
#include "content/ziparchiveaccessmanager.h"
#ifndef DAMAGED_DEVICES_ONLY
#include "content/ziphandler.h"
#endif

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace ContentTest;

namespace {

const QString kEntry = QStringLiteral("webapp/sub/big.txt");

// Lines of nine digits: compressible, and no two pages alike.
QByteArray generated(int size)
{
    QByteArray text;
    text.reserve(size + 10);
    for (int line = 0; text.size() < size; ++line)
        text += QByteArray::number(line).rightJustified(9, '0') + '\n';
    text.truncate(size);
    return text;
}

enum Kind { ZipDeflated, ZipStored, Kelcab };

// An archive holding kEntry (size bytes) and a small intact entry, damaged
// at `where` (zip: fraction of the compressed data; kelcab: page number), or
// intact when where < 0.
std::unique_ptr<ArchiveAccessManager> makeArchive(const QTemporaryDir &dir, Kind kind, int size,
                                                  double where, QString *error)
{
    const Files files{{kEntry, generated(size)},
                      {QStringLiteral("webapp/sub/small.txt"), "intact\n"}};
    const QString path = dir.filePath(QStringLiteral("data.bin"));
    if (kind == Kelcab) {
        const QString tree = dir.filePath(QStringLiteral("tree"));
        if (!writeTree(tree, files) || !writeKelcab(tree + QStringLiteral("/webapp"), path))
            return nullptr;
        if (where >= 0 && !DamageArchive::damageKelcabPage(path, kEntry, int(where), error))
            return nullptr;
        return std::make_unique<KelCabArchiveManager>(path);
    }
    if (!writeZip(path, files, {}, kind == ZipStored ? 0 : 8))
        return nullptr;
    if (where >= 0 && !DamageArchive::damageZipEntry(path, kEntry, where, error))
        return nullptr;
    return std::make_unique<ZipArchiveAccessManager>(path);
}

} // namespace

class tst_DamagedContent : public QObject
{
    Q_OBJECT
private slots:
    void damagedEntryReadFails_data();
    void damagedEntryReadFails();
#ifndef DAMAGED_DEVICES_ONLY
    void replyFailsOrStreams_data();
    void replyFailsOrStreams();
#endif
};

void tst_DamagedContent::damagedEntryReadFails_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<double>("where");
    QTest::newRow("zip deflate data damaged at 3/4") << int(ZipDeflated) << 0.75;
    // Stored data inflates to the right size: only the CRC tells.
    QTest::newRow("zip stored data damaged, CRC only") << int(ZipStored) << 0.5;
    QTest::newRow("kelcab first page") << int(Kelcab) << 0.0;
    QTest::newRow("kelcab second page") << int(Kelcab) << 1.0;
    QTest::newRow("kelcab last page") << int(Kelcab) << 3.0;
}

void tst_DamagedContent::damagedEntryReadFails()
{
    QFETCH(int, kind);
    QFETCH(double, where);
    QTemporaryDir dir;
    QString error;
    const auto archive = makeArchive(dir, Kind(kind), 2000000, where, &error);
    QVERIFY2(archive, qPrintable(error));

    // Read as the web engine reads a reply: chunk by chunk until 0 or -1.
    std::unique_ptr<QIODevice> device(archive->open(kEntry));
    QVERIFY(device);
    QByteArray chunk(64 * 1024, Qt::Uninitialized);
    qint64 total = 0;
    qint64 n = 0;
    while ((n = device->read(chunk.data(), chunk.size())) > 0)
        total += n;
    QCOMPARE(n, qint64(-1));
    QVERIFY2(total < 2000000, qPrintable(QString::number(total)));
    QVERIFY(!device->errorString().isEmpty());
    // Once failed, it stays failed: a second reader gets no "end".
    QCOMPARE(device->read(chunk.data(), chunk.size()), qint64(-1));
    // Destroyed right after the failure, as the reply's deleteLater does: the
    // zip entry's close fails on the CRC and must not touch freed memory.
    device.reset();

    // The archive goes on serving its intact entries.
    std::unique_ptr<QIODevice> small(archive->open(QStringLiteral("webapp/sub/small.txt")));
    QVERIFY(small);
    QCOMPARE(small->readAll(), QByteArray("intact\n"));
}

#ifndef DAMAGED_DEVICES_ONLY
void tst_DamagedContent::replyFailsOrStreams_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("size");
    QTest::addColumn<double>("where");
    QTest::addColumn<bool>("streams");
    constexpr int kLimit = int(ZipHandler::CheckedReplyLimit);
    QTest::newRow("zip, damaged, checked whole") << int(ZipDeflated) << 2000000 << 0.75 << false;
    QTest::newRow("kelcab, damaged, checked whole") << int(Kelcab) << 2000000 << 1.0 << false;
    QTest::newRow("zip, intact, one byte under the limit") << int(ZipDeflated) << kLimit - 1 << -1.0 << false;
    QTest::newRow("zip, intact, at the limit, streams") << int(ZipDeflated) << kLimit << -1.0 << true;
    QTest::newRow("kelcab, intact, above the limit, streams") << int(Kelcab) << kLimit + 1000 << -1.0 << true;
    QTest::newRow("zip, damaged past the limit, streams") << int(ZipDeflated) << kLimit + 2000000 << 0.9 << true;
    QTest::newRow("kelcab, damaged past the limit, streams") << int(Kelcab) << kLimit + 2000000 << 10.0 << true;
}

void tst_DamagedContent::replyFailsOrStreams()
{
    QFETCH(int, kind);
    QFETCH(int, size);
    QFETCH(double, where);
    QFETCH(bool, streams);
    QTemporaryDir dir;
    QString error;
    const auto archive = makeArchive(dir, Kind(kind), size, where, &error);
    QVERIFY2(archive, qPrintable(error));
    const bool damaged = where >= 0;

    QString replyError;
    std::unique_ptr<QIODevice> reply(
        ZipHandler::prepareReply(archive->open(kEntry), kEntry, &replyError));
    if (damaged && !streams) {
        QVERIFY(!reply);
        QVERIFY(!replyError.isEmpty());
        return;
    }
    QVERIFY2(reply, qPrintable(replyError));
    QCOMPARE(reply->isSequential(), streams);
    if (damaged)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
            "^damaged entry webapp/sub/big.txt - .+ - reply cut short$")));
    QByteArray body;
    QByteArray chunk(64 * 1024, Qt::Uninitialized);
    qint64 n = 0;
    while ((n = reply->read(chunk.data(), chunk.size())) > 0)
        body.append(chunk.constData(), int(n));
    if (damaged) {
        // The end the web engine must not take for success.
        QCOMPARE(n, qint64(-1));
        QVERIFY(!reply->atEnd());
        QVERIFY(body.size() >= ZipHandler::CheckedReplyLimit && body.size() < size);
    } else {
        QCOMPARE(n, qint64(0));
        QVERIFY(body == generated(size));
    }
}
#endif

QTEST_GUILESS_MAIN(tst_DamagedContent)
#include "tst_damagedcontent.moc"
