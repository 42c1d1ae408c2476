// Damaged entries under AddressSanitizer: a read error, never the end of the
// data, and a safe destruction right after it (a zip entry's close fails).

#include "contenttest.h"
#include "tests/support/damagearchive.h"

#include "content/contentpassword.h"
#include "content/kelcabarchivemanager.h"
#include "content/ziparchiveaccessmanager.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace ContentTest;

class tst_DamagedContent : public QObject
{
    Q_OBJECT
private slots:
    void damagedEntryReadFails_data();
    void damagedEntryReadFails();
};

void tst_DamagedContent::damagedEntryReadFails_data()
{
    QTest::addColumn<int>("zipMethod"); // -1: kelcab
    QTest::addColumn<double>("where");  // zip: fraction of the data; kelcab: page
    QTest::addColumn<bool>("encrypted");
    QTest::newRow("zip deflate data damaged at 3/4") << 8 << 0.75 << false;
    // Stored data has the right size whatever its bytes: only the CRC tells.
    QTest::newRow("zip stored data damaged") << 0 << 0.5 << false;
    // Decrypted here, not by minizip: damage must still be caught.
    QTest::newRow("encrypted zip deflate data damaged") << 8 << 0.5 << true;
    QTest::newRow("encrypted zip stored data damaged") << 0 << 0.5 << true;
    QTest::newRow("kelcab second page") << -1 << 1.0 << false;
}

void tst_DamagedContent::damagedEntryReadFails()
{
    QFETCH(int, zipMethod);
    QFETCH(double, where);
    QFETCH(bool, encrypted);
    const QString entry = QStringLiteral("webapp/big.txt");
    QByteArray text;
    for (int line = 0; text.size() < 2000000; ++line)
        text += QByteArray::number(line).rightJustified(9, '0') + '\n';
    const Files files{{entry, text}, {QStringLiteral("webapp/small.txt"), "intact\n"}};
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("data.bin"));
    QString error;
    std::unique_ptr<ArchiveAccessManager> archive;
    if (zipMethod < 0) {
        QVERIFY(writeTree(dir.filePath(QStringLiteral("tree")), files));
        QVERIFY(writeKelcab(dir.filePath(QStringLiteral("tree/webapp")), path));
        QVERIFY2(DamageArchive::damageKelcabPage(path, entry, int(where), &error), qPrintable(error));
        archive = std::make_unique<KelCabArchiveManager>(path);
    } else {
        QVERIFY(writeZip(path, files, encrypted ? contentPassword() : QByteArray(), zipMethod));
        QVERIFY2(DamageArchive::damageZipEntry(path, entry, where, &error), qPrintable(error));
        archive = std::make_unique<ZipArchiveAccessManager>(path);
    }

    // Read as the web engine reads a reply: chunk by chunk until 0 or -1.
    std::unique_ptr<QIODevice> device(archive->open(entry));
    QVERIFY(device);
    QByteArray chunk(64 * 1024, Qt::Uninitialized);
    qint64 n = 0;
    while ((n = device->read(chunk.data(), chunk.size())) > 0) {
    }
    QCOMPARE(n, qint64(-1));
    QVERIFY(!device->errorString().isEmpty());
    QCOMPARE(device->read(chunk.data(), chunk.size()), qint64(-1)); // stays failed
    device.reset();

    std::unique_ptr<QIODevice> small(archive->open(QStringLiteral("webapp/small.txt")));
    QVERIFY(small);
    QCOMPARE(small->readAll(), QByteArray("intact\n"));
}

QTEST_GUILESS_MAIN(tst_DamagedContent)
#include "tst_damagedcontent.moc"
