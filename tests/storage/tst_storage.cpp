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
    void storedForms_data();
    void storedForms();
    void unreadableKeysRefused_data();
    void unreadableKeysRefused();
    void notADatabaseIsLeftAlone();
    void queuedSavesLandBeforeClose();
};

// Key bytes, lowest first: B4 F2 86 3D 19 5E C3 A7. Each body byte is
// XORed with its key byte and the previous enciphered byte.
void tst_Storage::storedForms_data()
{
    QTest::addColumn<QString>("plain");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("warning"); // damaged: the stored form reads as nothing
    // Body 78 | CRC of nothing 00 00 -> CC 3E B8; with 03 02: five bytes.
    QTest::newRow("empty: five bytes") << QString() << "AwLMPrg=" << QString();
    // Body 78 | CRC | qCompress level 9 (4-byte length 000003E8, zlib).
    const QString thousand(1000, QLatin1Char('x'));
    QTest::newRow("thousand equal characters compress (0x03)")
        << thousand << "AwPMv5eqs+7FGnQtAyY6x2TXb+psUeJIXyg=" << QString();

    // One byte of a value's stored form (from the end when negative) XORed with mask.
    const auto damaged = [](const QString &plain, int position, char mask) {
        QByteArray bytes = KeyedCipher(Storage::storageKey()).encrypt(plain.toUtf8());
        const int at = position < 0 ? bytes.size() + position : position;
        bytes[at] = char(bytes.at(at) ^ mask);
        return QString::fromLatin1(bytes.toBase64());
    };
    const QString checksum = QStringLiteral("A stored value failed its integrity check.");
    QTest::newRow("payload bit flipped") << QString() << damaged("some value", -1, 0x10) << checksum;
    QTest::newRow("compressed payload bit flipped")
        << QString() << damaged(thousand, -3, 0x01) << checksum;
    QTest::newRow("wrong version") << QString() << damaged("some value", 0, 0x07)
                                   << QStringLiteral("Invalid version or not a cyphertext.");
}

void tst_Storage::storedForms()
{
    QFETCH(QString, plain);
    QFETCH(QString, stored);
    QFETCH(QString, warning);
    const KeyedCipher cipher(Storage::storageKey());
    if (warning.isEmpty())
        QCOMPARE(cipher.encryptText(plain), stored);
    else
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    QCOMPARE(cipher.decryptText(stored), plain);
}

// Keys SQLite stores in an odd form: U+FFFD as NUL, a skin-tone modifier's
// low surrogate as U+E000 (read back as U+DC00). Keys that would not read
// back as they are cannot be saved at all.
// Keys that would not read back as they were saved are refused, alone or in a
// batch (a lone surrogate and the others: the storage course).
void tst_Storage::unreadableKeysRefused_data()
{
    QTest::addColumn<QString>("key");
    QTest::newRow("U+FFFC") << QString(QChar(0xFFFC));
    QTest::newRow("leading U+FEFC (stored as a byte order mark)") << QChar(0xFEFC) + QString("z");
}

void tst_Storage::unreadableKeysRefused()
{
    QFETCH(QString, key);
    QTemporaryDir dir;
    Storage s;
    QVERIFY(s.init(dir.filePath("temp")));
    QTest::ignoreMessage(QtWarningMsg, "Storage::setItem refuses a key that would not read back as it is");
    QVERIFY(!s.setItem(key, "v"));
    QTest::ignoreMessage(QtWarningMsg, "Storage::setItems refuses a key that would not read back as it is");
    QVERIFY(!s.setItems({{key, "v"}, {"other", "o"}}));
    QStringList keys;
    QVERIFY(s.getKeys("", keys) && keys.isEmpty()); // not "other" either
}

// A database with an overwritten header is neither opened nor replaced.
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
    QVERIFY(!storage.setItem(QStringLiteral("k"), QStringLiteral("v")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), content);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("temp")});
}

// Saves still queued when the plugin goes (a page saving and exiting) reach the file.
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
