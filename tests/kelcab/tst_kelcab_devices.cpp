#include "kelcabtestutil.h"

#include <kelcab/archive.h>
#include <kelcab/compresseddevice.h>
#include <kelcab/fsutils.h>

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <stdexcept>

using namespace kelcabtest;
using kelcab::Archive;
using kelcab::CompressedDevice;
using kelcab::Entry;

namespace {

// A device that takes nothing: every write fails.
class RefusingDevice : public QIODevice
{
protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64) override { return -1; }
};

} // namespace

class tst_KelcabDevices : public QObject
{
    Q_OBJECT

private slots:
    void pages_data();
    void pages();
    void writeFailures();
    void views();
};

void tst_KelcabDevices::pages_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("chunk"); // of every write and read
    QTest::newRow("nothing") << 0 << 1;
    QTest::newRow("one page exactly") << kPage << kPage;
    QTest::newRow("page minus one byte") << kPage - 1 << kPage;
    QTest::newRow("page plus one byte, 1-byte steps") << kPage + 1 << 1;
    QTest::newRow("three pages plus 17, 1-byte steps") << 3 * kPage + 17 << 1;
    QTest::newRow("two pages, steps of a page plus one") << 2 * kPage + 300 << kPage + 1;
    QTest::newRow("two pages, steps larger than a page") << 2 * kPage + 5 << 3 * kPage;
}

// Whole pages leave at once, the rest on flush or close, however the data
// arrives; a flush with nothing pending writes no empty record. Read back,
// atEnd comes after the last byte, not once the last page is loaded.
void tst_KelcabDevices::pages()
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
    QVERIFY(reader.isSequential());
    QByteArray read;
    while (!reader.atEnd()) {
        const QByteArray piece = reader.read(chunk);
        QVERIFY(!piece.isEmpty());
        read += piece;
    }
    QCOMPARE(read, data);
    QCOMPARE(reader.read(1), QByteArray());
}

// A page that can never leave fails the write instead of looping.
void tst_KelcabDevices::writeFailures()
{
    RefusingDevice target;
    target.open(QIODevice::ReadOnly);
    QVERIFY(!CompressedDevice(&target).open(QIODevice::WriteOnly));
    target.close();
    target.open(QIODevice::WriteOnly);
    CompressedDevice refusing(&target);
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
}

// Raw entries: windows that never reach into a neighbour, seek within
// themselves and read independently of each other; none onto anything else.
void tst_KelcabDevices::views()
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

    // No device for what is not a file or reaches outside the data region.
    QVERIFY(!archive.makeReadOnlyDevice(archive.root()));
    QVERIFY(!archive.makeReadOnlyDevice(Entry()));
    QVERIFY(!archive.makeReadOnlyDevice(Entry(QStringLiteral("x"), 2999, 2)));
    QVERIFY(!archive.makeReadOnlyDevice(Entry(QStringLiteral("x"), -1, 1)));
    // The file gone after loading: an exception, not a device on nothing.
    a.reset();
    b.reset();
    e.reset();
    QVERIFY(QFile::remove(path));
    QVERIFY_EXCEPTION_THROWN(delete archive.makeReadOnlyDevice(archive.find(QStringLiteral("r/a"))),
                             std::runtime_error);
}

QTEST_GUILESS_MAIN(tst_KelcabDevices)
#include "tst_kelcab_devices.moc"
