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

QByteArray compressThrough(const QByteArray &data, int chunk)
{
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    {
        CompressedDevice device(&out);
        device.open(QIODevice::WriteOnly);
        for (int at = 0; at < data.size(); at += chunk)
            device.write(data.constData() + at, qMin(chunk, data.size() - at));
    }
    return out.data();
}

} // namespace

class tst_KelcabDevices : public QObject
{
    Q_OBJECT

private slots:
    void writePageBorders_data();
    void writePageBorders();
    void smallWritesEqualOneWrite_data();
    void smallWritesEqualOneWrite();
    void flushRules();
    void writeToNonWritableDevice();
    void writeToRefusingDevice();
    void readAcrossPages_data();
    void readAcrossPages();
    void readStopsAtPageEnd();
    void emptyStoredRange();
    void atEndOnlyAfterLastByte();
    void resetRewinds();
    void readLine();
    void viewWindow();
    void viewSeekAndReset();
    void emptyEntryIsAtEnd();
    void devicesAreIndependent();
    void fsutilsCopy_data();
    void fsutilsCopy();
    void mediaNames_data();
    void mediaNames();

private:
    // An archive with raw "a" (the first 1000 bytes) and "b" (the rest).
    static QString twoRawEntries(const QTemporaryDir &tmp, QByteArray *data);
};

void tst_KelcabDevices::writePageBorders_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("pagesAtOnce");
    QTest::addColumn<int>("pagesAfterFlush");
    QTest::newRow("one page exactly") << kPage << 1 << 1;
    QTest::newRow("page plus one byte") << kPage + 1 << 1 << 2;
    QTest::newRow("page minus one byte") << kPage - 1 << 0 << 1;
    QTest::newRow("three pages plus 17") << 3 * kPage + 17 << 3 << 4;
}

void tst_KelcabDevices::writePageBorders()
{
    QFETCH(int, size);
    QFETCH(int, pagesAtOnce);
    QFETCH(int, pagesAfterFlush);
    const QByteArray data = compressibleBytes(size);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    CompressedDevice device(&out);
    QVERIFY(device.open(QIODevice::WriteOnly));
    QCOMPARE(device.write(data), qint64(size));

    QByteArray expectedAtOnce;
    for (int i = 0; i < pagesAtOnce; ++i)
        expectedAtOnce += pageRecord(data.mid(i * kPage, kPage));
    QCOMPARE(out.data(), expectedAtOnce);
    QVERIFY(device.flush());
    QCOMPARE(out.data(), pageSequence(data));
    QCOMPARE(pageSequence(data).size() > 0, pagesAfterFlush > 0);
    // The last page holds what was left.
    const QByteArray last = out.data().mid(expectedAtOnce.size());
    if (pagesAfterFlush > pagesAtOnce)
        QCOMPARE(qFromBigEndian<quint32>(last.constData() + 4), quint32(size - pagesAtOnce * kPage));
}

void tst_KelcabDevices::smallWritesEqualOneWrite_data()
{
    QTest::addColumn<int>("chunk");
    QTest::newRow("1-byte writes") << 1;
    QTest::newRow("odd 4099-byte writes") << 4099;
    QTest::newRow("page minus one") << kPage - 1;
    QTest::newRow("page plus one") << kPage + 1;
}

void tst_KelcabDevices::smallWritesEqualOneWrite()
{
    QFETCH(int, chunk);
    const QByteArray data = compressibleBytes(2 * kPage + 300);
    QCOMPARE(compressThrough(data, chunk), compressThrough(data, data.size()));
    QCOMPARE(compressThrough(data, chunk), pageSequence(data));
}

void tst_KelcabDevices::flushRules()
{
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    CompressedDevice device(&out);
    QVERIFY(device.open(QIODevice::WriteOnly));
    QVERIFY(device.flush());
    QCOMPARE(out.data().size(), 0);
    device.write("hello");
    QVERIFY(device.flush());
    QVERIFY(device.flush());
    QCOMPARE(out.data(), pageRecord("hello"));
    device.write("again");
    device.close();   // closing writes the last page too
    QCOMPARE(out.data(), pageRecord("hello") + pageRecord("again"));
}

void tst_KelcabDevices::writeToNonWritableDevice()
{
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    CompressedDevice device(&out);
    QVERIFY(device.open(QIODevice::WriteOnly));
    out.close();
    out.open(QIODevice::ReadOnly);
    // More than a page: the page can never leave, so the write must fail
    // rather than loop.
    QCOMPARE(device.write(compressibleBytes(kPage + 10)), qint64(-1));
    QVERIFY(!device.errorString().isEmpty());

    QBuffer readOnly;
    readOnly.open(QIODevice::ReadOnly);
    CompressedDevice refused(&readOnly);
    QVERIFY(!refused.open(QIODevice::WriteOnly));
}

void tst_KelcabDevices::writeToRefusingDevice()
{
    RefusingDevice target;
    target.open(QIODevice::WriteOnly);
    CompressedDevice device(&target);
    QVERIFY(device.open(QIODevice::WriteOnly));
    QCOMPARE(device.write(compressibleBytes(kPage)), qint64(-1));
    device.write("x");
    QVERIFY(!device.flush());
    // Through the copy helper the refusal surfaces as the writer's error.
    QBuffer source;
    source.setData(compressibleBytes(kPage));
    source.open(QIODevice::ReadOnly);
    QVERIFY_EXCEPTION_THROWN(kelcab::FSUtils::copy(source, device, 1048576), std::runtime_error);
}

void tst_KelcabDevices::readAcrossPages_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("chunk");
    QTest::newRow("one page exactly") << kPage << kPage;
    QTest::newRow("page plus one byte, 1-byte reads") << kPage + 1 << 1;
    QTest::newRow("three pages, odd chunks") << 3 * kPage + 17 << 4099;
    QTest::newRow("two pages, reads larger than a page") << 2 * kPage + 5 << 3 * kPage;
    QTest::newRow("one byte") << 1 << 1;
}

void tst_KelcabDevices::readAcrossPages()
{
    QFETCH(int, size);
    QFETCH(int, chunk);
    const QByteArray data = compressibleBytes(size);
    QBuffer in;
    in.setData(pageSequence(data));
    in.open(QIODevice::ReadOnly);
    CompressedDevice device(&in);
    QVERIFY(device.open(QIODevice::ReadOnly));
    bool ok = false;
    QCOMPARE(drain(&device, chunk, &ok), data);
    QVERIFY(ok);
    QCOMPARE(device.read(1), QByteArray());
}

void tst_KelcabDevices::readStopsAtPageEnd()
{
    const QByteArray data = compressibleBytes(2 * kPage + 5);
    QBuffer in;
    in.setData(pageSequence(data));
    in.open(QIODevice::ReadOnly);
    CompressedDevice device(&in);
    QVERIFY(device.open(QIODevice::ReadOnly));
    QByteArray buffer(3 * kPage, 0);
    QCOMPARE(device.read(buffer.data(), 100), qint64(100));
    // A large read returns the rest of the current page only.
    QCOMPARE(device.read(buffer.data(), buffer.size()), qint64(kPage - 100));
    QCOMPARE(device.read(buffer.data(), buffer.size()), qint64(kPage));
    QCOMPARE(device.read(buffer.data(), buffer.size()), qint64(5));
    QCOMPARE(device.read(buffer.data(), buffer.size()), qint64(0));
}

void tst_KelcabDevices::emptyStoredRange()
{
    QBuffer in;
    in.open(QIODevice::ReadOnly);
    CompressedDevice device(&in);
    QVERIFY(device.open(QIODevice::ReadOnly));
    QVERIFY(device.isSequential());
    QCOMPARE(device.size(), qint64(-1));
    char c;
    QCOMPARE(device.read(&c, 1), qint64(0));
    QVERIFY(device.atEnd());
}

void tst_KelcabDevices::atEndOnlyAfterLastByte()
{
    // Once the last page is loaded the stored bytes are used up, but the
    // caller has not seen them all: atEnd must wait for the last byte.
    const QByteArray data = compressibleBytes(1000);
    QBuffer in;
    in.setData(pageSequence(data));
    in.open(QIODevice::ReadOnly);
    CompressedDevice device(&in);
    QVERIFY(device.open(QIODevice::ReadOnly));
    QByteArray read;
    while (!device.atEnd())
        read += device.read(7);
    QCOMPARE(read, data);
}

void tst_KelcabDevices::resetRewinds()
{
    const QByteArray data = compressibleBytes(kPage + 50);
    QBuffer in;
    in.setData(pageSequence(data));
    in.open(QIODevice::ReadOnly);
    CompressedDevice device(&in);
    QVERIFY(device.open(QIODevice::ReadOnly));
    QCOMPARE(device.read(10), data.left(10));
    QVERIFY(device.reset());
    QCOMPARE(device.pos(), qint64(0));
    QCOMPARE(drain(&device, 1000), data);
    // Positions are those of the stored bytes: the second page's record.
    QVERIFY(device.seek(pageRecord(data.left(kPage)).size()));
    QCOMPARE(drain(&device, 1000), data.mid(kPage));
}

void tst_KelcabDevices::readLine()
{
    const QByteArray data = "first line\nsecond line\nno newline";
    QBuffer in;
    in.setData(pageSequence(data));
    in.open(QIODevice::ReadOnly);
    CompressedDevice device(&in);
    QVERIFY(device.open(QIODevice::ReadOnly));
    QCOMPARE(device.readLine(), QByteArray("first line\n"));
    QCOMPARE(device.readLine(), QByteArray("second line\n"));
    QCOMPARE(device.readLine(), QByteArray("no newline"));
}

QString tst_KelcabDevices::twoRawEntries(const QTemporaryDir &tmp, QByteArray *data)
{
    *data = randomBytes(3000, 5);
    const QString path = tmp.filePath(QStringLiteral("a.kcab"));
    writeFile(path, archiveBytes(*data, Rec::dir(QStringLiteral("r"), {Rec::file(QStringLiteral("a"), 0, 1000),
                                                                         Rec::file(QStringLiteral("b"), 1000, 2000),
                                                                         Rec::file(QStringLiteral("e"), 3000, 0)})));
    return path;
}

void tst_KelcabDevices::viewWindow()
{
    QTemporaryDir tmp;
    QByteArray data;
    Archive archive;
    QVERIFY(archive.load(twoRawEntries(tmp, &data)));
    std::unique_ptr<QIODevice> a(archive.makeReadOnlyDevice(archive.find(QStringLiteral("r/a"))));
    QVERIFY(a->isOpen());
    QVERIFY(!a->isWritable());
    QCOMPARE(a->size(), qint64(1000));
    QCOMPARE(a->pos(), qint64(0));
    // A read larger than the window stops at its end, not in the neighbour.
    QCOMPARE(a->read(5000), data.left(1000));
    QVERIFY(a->atEnd());
    QCOMPARE(a->read(1), QByteArray());
    QCOMPARE(a->write("x"), qint64(-1));
}

void tst_KelcabDevices::viewSeekAndReset()
{
    QTemporaryDir tmp;
    QByteArray data;
    Archive archive;
    QVERIFY(archive.load(twoRawEntries(tmp, &data)));
    std::unique_ptr<QIODevice> b(archive.makeReadOnlyDevice(archive.find(QStringLiteral("r/b"))));
    QCOMPARE(b->read(1), data.mid(1000, 1));
    QCOMPARE(b->pos(), qint64(1));
    QVERIFY(b->seek(1990));
    QCOMPARE(b->read(100), data.mid(2990, 10));
    QVERIFY(b->atEnd());
    QVERIFY(b->seek(0));
    QCOMPARE(b->read(3), data.mid(1000, 3));
    QVERIFY(b->reset());
    QCOMPARE(b->pos(), qint64(0));
    QCOMPARE(b->readAll(), data.mid(1000));
    QVERIFY(b->seek(500));
    QCOMPARE(b->peek(4), data.mid(1500, 4));
    QCOMPARE(b->read(4), data.mid(1500, 4));
}

void tst_KelcabDevices::emptyEntryIsAtEnd()
{
    QTemporaryDir tmp;
    QByteArray data;
    Archive archive;
    QVERIFY(archive.load(twoRawEntries(tmp, &data)));
    std::unique_ptr<QIODevice> e(archive.makeReadOnlyDevice(archive.find(QStringLiteral("r/e"))));
    QVERIFY(e);
    QVERIFY(e->atEnd());
    char c;
    QCOMPARE(e->read(&c, 1), qint64(0));
}

void tst_KelcabDevices::devicesAreIndependent()
{
    QTemporaryDir tmp;
    QByteArray data;
    Archive archive;
    QVERIFY(archive.load(twoRawEntries(tmp, &data)));
    std::unique_ptr<QIODevice> a(archive.makeReadOnlyDevice(archive.find(QStringLiteral("r/a"))));
    std::unique_ptr<QIODevice> b(archive.makeReadOnlyDevice(archive.find(QStringLiteral("r/b"))));
    QByteArray readA, readB;
    while (!a->atEnd() || !b->atEnd()) {
        readA += a->read(33);
        readB += b->read(57);
    }
    QCOMPARE(readA, data.left(1000));
    QCOMPARE(readB, data.mid(1000));
}

void tst_KelcabDevices::fsutilsCopy_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("chunk");
    QTest::newRow("empty") << 0 << 1048576;
    QTest::newRow("chunk borders") << 3 * 4096 + 1 << 4096;
    QTest::newRow("bigger than a chunk") << 2500000 << 1048576;
}

void tst_KelcabDevices::fsutilsCopy()
{
    QFETCH(int, size);
    QFETCH(int, chunk);
    const QByteArray data = randomBytes(size, 3);
    QBuffer source;
    source.setData(data);
    source.open(QIODevice::ReadOnly);
    QBuffer target;
    target.open(QIODevice::WriteOnly);
    QCOMPARE(kelcab::FSUtils::copy(source, target, chunk), qint64(size));
    QCOMPARE(target.data(), data);
}

void tst_KelcabDevices::mediaNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("media");
    QTest::newRow("upper-case MP4") << "Intro.MP4" << true;
    QTest::newRow("mixed-case Jpeg") << "photo.Jpeg" << true;
    QTest::newRow("webm") << "a.webm" << true;
    QTest::newRow("oga") << "a.oga" << true;
    QTest::newRow("gif in a path") << "img/x.gif" << true;
    QTest::newRow("MIME type name image") << "image/svg+xml" << true;
    QTest::newRow("MIME type name audio") << "audio/mpeg" << true;
    QTest::newRow("MIME type name text") << "text/html" << false;
    QTest::newRow("json") << "data.json" << false;
    QTest::newRow("extension inside the name") << "mp4.txt" << false;
    QTest::newRow("svg is not in the list") << "logo.svg" << false;
}

void tst_KelcabDevices::mediaNames()
{
    QFETCH(QString, name);
    QFETCH(bool, media);
    QCOMPARE(kelcab::FSUtils::isMediaFileName(name), media);
}

QTEST_GUILESS_MAIN(tst_KelcabDevices)
#include "tst_kelcab_devices.moc"
