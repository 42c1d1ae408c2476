#include "kelcabtestutil.h"

#include <kelcab/archive.h>

#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <stdexcept>

using namespace kelcabtest;
using kelcab::Archive;
using kelcab::Entry;

class tst_KelcabWriter : public QObject
{
    Q_OBJECT

private slots:
    void packedBytesMatchFormat();
    void failureLeavesNoArchive_data();
    void failureLeavesNoArchive();
    void deepestFileRoundTrips();
};

// The writer's bytes against the format built by hand: header, page records
// of files whose pages are in flight at once, raw files, records, hashes.
void tst_KelcabWriter::packedBytesMatchFormat()
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
    // Stored raw as they do not shrink; the second, larger than what stays in
    // memory, by reading it again, with nothing of the attempt left behind.
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

void tst_KelcabWriter::failureLeavesNoArchive_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QByteArray>("previous"); // an archive already there
    QTest::newRow("stopped, previous archive kept") << "course" << "a.kcab" << QByteArray("previous");
    QTest::newRow("missing folder") << "absent" << "a.kcab" << QByteArray();
    QTest::newRow("target folder missing") << "course" << "no/such/a.kcab" << QByteArray();
    QTest::newRow("a file at level 257") << "deep" << "a.kcab" << QByteArray("previous");
}

void tst_KelcabWriter::failureLeavesNoArchive()
{
    QFETCH(QString, source);
    QFETCH(QString, target);
    QFETCH(QByteArray, previous);
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
    if (target.contains('/'))
        QVERIFY(!Archive::makeAndSave(path, QDir(tmp.filePath(source))));
    else
        QVERIFY_EXCEPTION_THROWN(archive.save(QDir(tmp.filePath(source)), path), std::runtime_error);
    QCOMPARE(readFile(path), previous);
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Files), previous.isEmpty() ? QStringList() : QStringList{target});
    QVERIFY(!archive.root().isValid());
}

// A file below 255 nested folders, at level 256: the deepest allowed.
void tst_KelcabWriter::deepestFileRoundTrips()
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

QTEST_GUILESS_MAIN(tst_KelcabWriter)
#include "tst_kelcab_writer.moc"
