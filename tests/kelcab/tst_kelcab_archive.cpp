// The archive library: the writer's bytes, lookups, page and raw-entry devices.

#include "kelcabtestutil.h"

#include <kelcab/archive.h>
#include <kelcab/compresseddevice.h>
#include <kelcab/fsutils.h>

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

using namespace kelcabtest;
using kelcab::Archive;
using kelcab::CompressedDevice;
using kelcab::Entry;

class tst_KelcabArchive : public QObject
{
    Q_OBJECT

private slots:
    void packedBytesMatchFormat();
    void failureLeavesNoArchive_data();
    void failureLeavesNoArchive();
    void deepestFileRoundTrips();
    void find_data();
    void find();
    void indexAgreesWithCaseInsensitiveCompare();
    void concurrentFindOnLargeDirectory();
    void pages_data();
    void pages();
    void writeFailures();
    void views();
};

// The writer's bytes, several files' pages in flight at once, against the format built by hand.
void tst_KelcabArchive::packedBytesMatchFormat()
{
    QTemporaryDir tmp;
    const QString src = tmp.filePath(QStringLiteral("big"));
    QVector<QByteArray> contents;
    for (int i = 0; i < 6; ++i) {
        QByteArray content = compressibleBytes(kPage * (i % 3) + 1000 * i + 5000);
        content.replace(0, 4, QByteArray::number(1000 + i));
        contents.append(content);
        writeFile(QStringLiteral("%1/f%2.js").arg(src).arg(i), content);
    }
    // Stored raw as they do not shrink; the second is too large to keep in memory.
    const QVector<QPair<QString, QByteArray>> raw{{"noise.txt", randomBytes(3000, 99)},
                                                  {"noisy.dat", randomBytes(9 * kPage + 3, 7)},
                                                  {"z.txt", "after"}};
    for (const auto &file : raw)
        writeFile(src + QLatin1Char('/') + file.first, file.second);
    const QString path = tmp.filePath(QStringLiteral("a.kcab"));
    Archive archive;
    QVERIFY(archive.save(QDir(src), path));

    QByteArray data;
    Rec root = Rec::dir(QStringLiteral("big"));
    for (int i = 0; i < contents.size(); ++i) {
        const QByteArray pages = pageSequence(contents.at(i));
        root.children.append(Rec::file(QStringLiteral("f%1.js").arg(i), data.size(), pages.size(),
                                       0x2, md5(contents.at(i))));
        data += pages;
    }
    for (const auto &file : raw) {
        root.children.append(Rec::file(file.first, data.size(), file.second.size(), 0, md5(file.second)));
        data += file.second;
    }
    QCOMPARE(readFile(path), archiveBytes(data, root));
}

void tst_KelcabArchive::failureLeavesNoArchive_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QByteArray>("previous"); // an archive already there
    QTest::addColumn<QString>("why"); // how the message begins; %F: the folder
    QTest::newRow("stopped, previous archive kept") << "course" << "a.kcab" << QByteArray("previous") << "stop";
    QTest::newRow("missing folder") << "absent" << "a.kcab" << QByteArray() << "Folder '%F' cannot be read";
    QTest::newRow("target folder missing") << "course" << "no/such/a.kcab" << QByteArray() << "";
    QTest::newRow("a file at level 257") << "deep" << "a.kcab" << QByteArray("previous")
                                         << "Folder tree is deeper than 256 levels at '%F/d/d";
    QTest::newRow("files shorter than their size (sysfs)") << "/sys/devices/system/cpu/cpu0/topology" << "a.kcab"
        << QByteArray() << "Secure copy has failed from %F/cluster_cpus: the file shrank while being packed";
    QTest::newRow("the root folder has no name")
        << "/" << "a.kcab" << QByteArray() << "Folder '/' has no name to give the archive's root";
}

void tst_KelcabArchive::failureLeavesNoArchive()
{
    QFETCH(QString, source);
    QFETCH(QString, target);
    QFETCH(QByteArray, previous);
    QFETCH(QString, why);
    QTemporaryDir tmp;
    for (int i = 0; i < 5; ++i)
        QVERIFY(writeFile(tmp.filePath(QStringLiteral("course/f%1.js").arg(i)), compressibleBytes(kPage + i)));
    // The root is level 0: a file below 256 nested folders is one level too deep.
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("deep") + QStringLiteral("/d").repeated(256) + QStringLiteral("/leaf.txt")), "leaf"));
    const QString path = tmp.filePath(target);
    if (!previous.isEmpty())
        QVERIFY(writeFile(path, previous));
    Archive archive;
    int seen = 0;
    connect(&archive, &Archive::entryOpened, [&seen] {
        if (++seen == 3)
            throw std::runtime_error("stop");
    });
    const QDir folder(source.startsWith('/') ? source : tmp.filePath(source));
    if (source.startsWith('/') && !folder.exists())
        QSKIP("no such folder here");
    if (target.contains('/')) {
        QVERIFY(!Archive::makeAndSave(path, folder));
    } else {
        try {
            archive.save(folder, path);
            QFAIL("saved");
        } catch (const std::runtime_error &e) {
            QVERIFY2(QString::fromLocal8Bit(e.what()).startsWith(why.replace("%F", folder.absolutePath())),
                     e.what());
        }
    }
    QCOMPARE(readFile(path), previous);
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Files), previous.isEmpty() ? QStringList() : QStringList{target});
    QVERIFY(!archive.root().isValid());
}

// A file below 255 nested folders, at level 256: the deepest allowed.
void tst_KelcabArchive::deepestFileRoundTrips()
{
    QTemporaryDir tmp;
    const QString archivePath = QStringLiteral("r") + QStringLiteral("/d").repeated(255);
    QVERIFY(writeFile(tmp.filePath(archivePath) + QStringLiteral("/leaf.txt"), "leaf"));
    const QString path = tmp.filePath(QStringLiteral("a.kcab"));
    // Spelled with a trailing "/.", the folder still names the root.
    QVERIFY(Archive().save(QDir(tmp.filePath(QStringLiteral("r/."))), path));
    Archive loaded;
    QVERIFY(loaded.load(path));
    const Entry leaf = loaded.find(archivePath + QStringLiteral("/LEAF.txt"));
    QVERIFY(leaf.isValid());
    std::unique_ptr<QIODevice> device(loaded.makeReadOnlyDevice(leaf));
    QCOMPARE(device->readAll(), QByteArray("leaf"));
}

void tst_KelcabArchive::find_data()
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

void tst_KelcabArchive::find()
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

// A large folder's index finds what a case-insensitive compare finds, in the whole BMP.
void tst_KelcabArchive::indexAgreesWithCaseInsensitiveCompare()
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

void tst_KelcabArchive::concurrentFindOnLargeDirectory()
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

void tst_KelcabArchive::pages_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("chunk"); // of every write and read
    QTest::newRow("nothing") << 0 << 1;
    QTest::newRow("one page exactly") << kPage << kPage;
    QTest::newRow("page minus one byte") << kPage - 1 << kPage;
    QTest::newRow("page plus one byte, 1-byte steps") << kPage + 1 << 1;
    QTest::newRow("two pages, steps of a page plus one") << 2 * kPage + 300 << kPage + 1;
    QTest::newRow("two pages, steps larger than a page") << 2 * kPage + 5 << 3 * kPage;
}

// Whole pages leave at once, the rest on flush or close; an idle flush writes
// no empty record. Read back, atEnd comes after the last byte.
void tst_KelcabArchive::pages()
{
    QFETCH(int, size);
    QFETCH(int, chunk);
    const QByteArray data = compressibleBytes(size);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    CompressedDevice device(&out);
    QVERIFY(device.open(QIODevice::WriteOnly));
    for (int at = 0; at < data.size(); at += chunk)
        QCOMPARE(device.write(data.constData() + at, qMin(chunk, data.size() - at)), qint64(qMin(chunk, data.size() - at)));
    QCOMPARE(out.data(), pageSequence(data.left(size / kPage * kPage)));
    QVERIFY(device.flush());
    QVERIFY(device.flush());
    QCOMPARE(out.data(), pageSequence(data));
    device.write("tail");
    device.close();
    QCOMPARE(out.data(), pageSequence(data) + pageRecord("tail"));

    QBuffer in;
    in.setData(pageSequence(data));
    in.open(QIODevice::ReadOnly);
    CompressedDevice reader(&in);
    QVERIFY(reader.open(QIODevice::ReadOnly));
    QByteArray read;
    while (!reader.atEnd()) {
        const QByteArray piece = reader.read(chunk);
        QVERIFY(!piece.isEmpty());
        read += piece;
    }
    QCOMPARE(read, data);
    QCOMPARE(reader.read(1), QByteArray());
}

// A page that can never leave (a full disk) fails the write instead of looping.
void tst_KelcabArchive::writeFailures()
{
    QFile full(QStringLiteral("/dev/full"));
    QVERIFY(full.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    CompressedDevice refusing(&full);
    QVERIFY(refusing.open(QIODevice::WriteOnly));
    QCOMPARE(refusing.write(compressibleBytes(kPage + 10)), qint64(-1));
    QVERIFY(!refusing.errorString().isEmpty());
    refusing.write("x");
    QVERIFY(!refusing.flush());
    // Through the copy helper the refusal surfaces as the writer's error.
    QBuffer source;
    source.setData(compressibleBytes(kPage));
    source.open(QIODevice::ReadOnly);
    QVERIFY_EXCEPTION_THROWN(kelcab::FSUtils::copy(source, refusing, 1048576), std::runtime_error);
    // Chunks smaller than the data still copy all of it; no chunk copies nothing.
    QBuffer target;
    target.open(QIODevice::WriteOnly);
    source.seek(0);
    QCOMPARE(kelcab::FSUtils::copy(source, target, 0), qint64(0));
    QCOMPARE(kelcab::FSUtils::copy(source, target, 7), qint64(kPage));
    QCOMPARE(target.data(), source.data());
}

// Raw entries: independent windows that never reach into a neighbour.
void tst_KelcabArchive::views()
{
    QTemporaryDir tmp;
    const QByteArray data = randomBytes(3000, 5);
    const QString path = tmp.filePath(QStringLiteral("a.kcab"));
    const QByteArray tree = record(Rec::dir(QStringLiteral("r"), {Rec::file(QStringLiteral("a"), 0, 1000),
                                                                  Rec::file(QStringLiteral("b"), 1000, 2000),
                                                                  Rec::file(QStringLiteral("e"), 3000, 0)}));
    // Version 3 reads like 2, and the data region may start past the header.
    writeFile(path, header(40 + data.size(), 40, 3) + QByteArray(6, 'x') + data + tree);
    Archive archive;
    QVERIFY(archive.load(path));
    std::unique_ptr<QIODevice> a(archive.makeReadOnlyDevice(archive.find(QStringLiteral("r/a"))));
    std::unique_ptr<QIODevice> b(archive.makeReadOnlyDevice(archive.find(QStringLiteral("r/b"))));
    std::unique_ptr<QIODevice> e(archive.makeReadOnlyDevice(archive.find(QStringLiteral("r/e"))));
    QVERIFY(e->atEnd());
    QCOMPARE(a->size(), qint64(1000));
    QByteArray readA, readB;
    while (!a->atEnd() || !b->atEnd()) {
        readA += a->read(33);
        readB += b->read(57);
    }
    QCOMPARE(readA, data.left(1000));
    QCOMPARE(readB, data.mid(1000));
    QCOMPARE(a->read(1), QByteArray());
    QVERIFY(b->seek(1990));
    QCOMPARE(b->read(100), data.mid(2990, 10));
    QVERIFY(b->seek(500));
    QCOMPARE(b->read(4), data.mid(1500, 4));

    // No device for what is not a file.
    QVERIFY(!archive.makeReadOnlyDevice(archive.root()));
    QVERIFY(!archive.makeReadOnlyDevice(Entry()));
    // The file gone after loading: an exception, not a device on nothing.
    QVERIFY(QFile::remove(path));
    QVERIFY_EXCEPTION_THROWN(delete archive.makeReadOnlyDevice(archive.find(QStringLiteral("r/a"))),
                             std::runtime_error);
}

QTEST_GUILESS_MAIN(tst_KelcabArchive)
#include "tst_kelcab_archive.moc"
