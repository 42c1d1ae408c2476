// The value cipher against vectors worked out by hand, damaged cipher texts,
// a database file that is not one, and saves queued when the plugin goes.

#include "plugins/storage/cstorage.h"
#include "plugins/storage/keyedcipher.h"
#include "plugins/storage/storage.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

class tst_Storage : public QObject
{
    Q_OBJECT
private slots:
    void knownAnswers_data();
    void knownAnswers();
    void damagedReadsEmpty_data();
    void damagedReadsEmpty();
    void notADatabaseIsLeftAlone();
    void queuedSavesLandBeforeClose();
};

// Key bytes, lowest first: B4 F2 86 3D 19 5E C3 A7. Each body byte is
// XORed with its key byte and the previous enciphered byte.
void tst_Storage::knownAnswers_data()
{
    QTest::addColumn<QString>("plain");
    QTest::addColumn<QString>("stored");
    // Body 78 | CRC of nothing 00 00 -> CC 3E B8; with 03 02: five bytes.
    QTest::newRow("empty: five bytes") << QString() << "AwLMPrg=";
    // One character stays plain (0x02): the storage course checks its stored form.
    // Body 78 | CRC | qCompress level 9 (4-byte length 000003E8, zlib).
    QTest::newRow("thousand equal characters compress (0x03)")
        << QString(1000, QLatin1Char('x')) << "AwPMv5eqs+7FGnQtAyY6x2TXb+psUeJIXyg=";
}

void tst_Storage::knownAnswers()
{
    QFETCH(QString, plain);
    QFETCH(QString, stored);
    const KeyedCipher cipher(Storage::storageKey());
    QCOMPARE(cipher.encryptText(plain), stored);
    QCOMPARE(cipher.decryptText(stored), plain);
}

void tst_Storage::damagedReadsEmpty_data()
{
    QTest::addColumn<QString>("plain");
    QTest::addColumn<int>("position"); // from the end when negative
    QTest::addColumn<int>("mask");
    QTest::addColumn<QString>("warning");
    const QString checksum = QStringLiteral("A stored value failed its integrity check.");
    const QString version = QStringLiteral("Invalid version or not a cyphertext.");
    QTest::newRow("payload bit flipped") << "some value" << -1 << 0x10 << checksum;
    QTest::newRow("compressed payload bit flipped")
        << QString(1000, QLatin1Char('x')) << -3 << 0x01 << checksum;
    QTest::newRow("wrong version") << "some value" << 0 << 0x07 << version;
}

void tst_Storage::damagedReadsEmpty()
{
    QFETCH(QString, plain);
    QFETCH(int, position);
    QFETCH(int, mask);
    QFETCH(QString, warning);
    const KeyedCipher cipher(Storage::storageKey());
    QByteArray bytes = cipher.encrypt(plain.toUtf8());
    const int at = position < 0 ? bytes.size() + position : position;
    bytes[at] = char(bytes.at(at) ^ mask);
    QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    QCOMPARE(cipher.decryptText(QString::fromLatin1(bytes.toBase64())), QString());
}

// A real database whose header has been overwritten (a text file: the
// storage course) is neither opened nor replaced.
void tst_Storage::notADatabaseIsLeftAlone()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("temp"));
    {
        Storage storage;
        QVERIFY(storage.init(path));
        QVERIFY(storage.setItem(QStringLiteral("k"), QStringLiteral("v")));
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.write(QByteArray(16, 'X')) == 16);
    file.seek(0);
    const QByteArray content = file.readAll();
    file.close();

    Storage storage;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Storage::init .*not a database"));
    QVERIFY(!storage.init(path));
    QVERIFY(!storage.isOpen());
    QVERIFY(!storage.setItem(QStringLiteral("k"), QStringLiteral("v")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), content);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("temp")});
}

// A page that saves and exits at once: the saves still queued when the
// plugin goes must reach the file.
void tst_Storage::queuedSavesLandBeforeClose()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("temp"));
    QStringList keys;
    {
        CStorage plugin;
        QList<QSharedPointer<Task::ITask>> tasks{plugin.init(path)};
        for (int i = 0; i < 40; ++i) {
            keys.append(QString::number(i));
            tasks.append(plugin.setItem(keys.last(), QStringLiteral("v")));
        }
        for (const QSharedPointer<Task::ITask> &task : tasks)
            task->start();
    }
    Storage storage;
    QVERIFY(storage.init(path));
    QVariantMap items;
    QVERIFY(storage.getItems(keys, items));
    QCOMPARE(items.size(), keys.size());
}

QTEST_GUILESS_MAIN(tst_Storage)
#include "tst_storage.moc"
