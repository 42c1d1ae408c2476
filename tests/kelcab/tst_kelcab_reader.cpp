#include "kelcabtestutil.h"

#include <kelcab/archive.h>

#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

using namespace kelcabtest;
using kelcab::Archive;
using kelcab::Entry;

class tst_KelcabReader : public QObject
{
    Q_OBJECT

private slots:
    void find_data();
    void find();
    void indexAgreesWithCaseInsensitiveCompare();
    void concurrentFindOnLargeDirectory();
};

void tst_KelcabReader::find_data()
{
    // Letter case and folders: the archive manager's rows and the courses.
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");   // empty: the invalid entry
    QTest::newRow("stray, doubled, back and trailing separators") << "/r//Sub\\\\Deep\\File.txt/" << "File.txt";
    QTest::newRow("empty path") << "" << "";
    QTest::newRow("path without the root's name") << "Index.HTML" << "";
    QTest::newRow("file used as folder") << "r/Index.HTML/x" << "";
    QTest::newRow("prefix of a name") << "r/Index" << "";
    // Linux allows both names in one folder; the archive keeps both.
    QTest::newRow("case clash in a small folder: first stored wins") << "r/a.txt" << "A.txt";
    QTest::newRow("case clash in a large, indexed folder") << "R/BIG/a.TXT" << "A.txt";
}

void tst_KelcabReader::find()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    const QVector<Rec> clash{Rec::file(QStringLiteral("A.txt"), 0, 5), Rec::file(QStringLiteral("a.txt"), 5, 6)};
    QVector<Rec> big;
    for (int i = 0; i < 200; ++i)
        big.append(Rec::file(QStringLiteral("filler%1.txt").arg(i), 0, 0));
    const Rec deep = Rec::dir(QStringLiteral("Deep"), {Rec::file(QStringLiteral("File.txt"), 0, 0)});
    const QVector<Rec> top{Rec::file(QStringLiteral("Index.HTML"), 0, 0), Rec::dir(QStringLiteral("Sub"), {deep}),
                           Rec::dir(QStringLiteral("big"), big + clash)};
    QTemporaryDir tmp;
    const QString archivePath = tmp.filePath(QStringLiteral("a.kcab"));
    QVERIFY(writeFile(archivePath, archiveBytes("firstsecond", Rec::dir(QStringLiteral("r"), top + clash))));
    Archive archive;
    QVERIFY(archive.load(archivePath));

    const Entry entry = archive.find(path);
    QCOMPARE(entry.name(), name);
    QCOMPARE(entry.isValid(), !name.isEmpty());
}

// The index of a large folder must find exactly what a case-insensitive
// compare finds, for every character of the Basic Multilingual Plane.
void tst_KelcabReader::indexAgreesWithCaseInsensitiveCompare()
{
    QVector<Entry> fillers;
    for (int i = 0; i < 20; ++i)
        fillers.append(Entry(QStringLiteral("filler-%1").arg(i), 0, 0));
    int checked = 0;
    for (uint c = 1; c < 0x10000; ++c) {
        if (QChar::isSurrogate(c))
            continue;
        const QString name{QChar(ushort(c))};
        QVector<Entry> children = fillers;
        children.append(Entry(name, 0, 0));
        const Entry dir(QStringLiteral("d"), children);
        for (uint variant : {QChar::toUpper(c), QChar::toLower(c), QChar::toTitleCase(c), QChar::toCaseFolded(c)}) {
            if (variant > 0xFFFF)
                continue;
            const QString query{QChar(ushort(variant))};
            const bool equal = QString::compare(name, query, Qt::CaseInsensitive) == 0;
            const Entry found = dir.findChild(query);
            if (found.isValid() != equal || (equal && found.name() != name))
                QFAIL(qPrintable(QStringLiteral("U+%1 looked up as U+%2").arg(c, 4, 16).arg(variant, 4, 16)));
            ++checked;
        }
    }
    QVERIFY(checked > 200000);
    // Outside that plane too: a surrogate pair folds as one character.
    const QString upper = QString::fromUcs4(U"\U00010400.txt");
    QVector<Entry> children = fillers;
    children.append(Entry(upper, 0, 0));
    QCOMPARE(Entry(QStringLiteral("d"), children).findChild(QString::fromUcs4(U"\U00010428.txt")).name(), upper);
}

void tst_KelcabReader::concurrentFindOnLargeDirectory()
{
    const int count = 10000;
    QVector<Rec> children;
    for (int i = 0; i < count; ++i)
        children.append(Rec::file(QStringLiteral("file-%1.js").arg(i), 0, 0));
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("a.kcab"));
    writeFile(path, archiveBytes(QByteArray(), Rec::dir(QStringLiteral("r"), {Rec::dir(QStringLiteral("big"), children)})));
    Archive archive;
    QVERIFY(archive.load(path));

    // Several threads race to build the folder's index on first use.
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&archive, &wrong, t, count] {
            for (int i = t; i < count; i += 3) {
                const Entry e = archive.find(QStringLiteral("R/BIG/FILE-%1.JS").arg(i));
                if (e.name() != QStringLiteral("file-%1.js").arg(i))
                    ++wrong;
            }
            if (archive.find(QStringLiteral("r/big/file-%1.js").arg(count)).isValid())
                ++wrong;
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    QCOMPARE(wrong.load(), 0);
}

QTEST_GUILESS_MAIN(tst_KelcabReader)
#include "tst_kelcab_reader.moc"
