// Archive extraction through the dispatcher, as the page sees it: progress,
// one answer per call, aborts that hit their own call only, replaced
// sub-folders, other producers' archives, hostile names and memory.

#include "bridge/jsinterface.h"
#include "bridge/task.h"
#include "plugins/archive/zipextraction.h"
#include "plugins/zip/czip.h"
#include "tests/zip/ziptest.h"

#include <QApplication>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

using namespace ZipTest;

namespace {

struct Call
{
    QString name;
    QVariantMap data;
};

const QStringList kEnds{"archiveUnzipFinish", "archiveUnzipError", "archiveUnzipAbort"};

// Peak resident memory in kB; resettable through clear_refs.
qint64 peakKb()
{
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

class tst_Archive : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void progress_data();
    void progress();
    void failures_data();
    void failures();
    void secondRunAndBackslashes();
    void abortsOnlyItsOwnCall();
    void abortStopsBetweenEntries();
    void otherProducers_data();
    void otherProducers();
    void traversal_data() { traversalRows(); }
    void traversal();
    void linksInTargetAreReplaced();
    void boundedMemory();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    // Runs one call to its end and lets the pool and the queued reports
    // finish, so a second answer would be seen. Every callback of the call.
    QList<Call> unzip(const QString &uuid, const QString &zip, const QString &target);
    QList<Call> callsFor(const QString &uuid) const;
    void settle();

    QScopedPointer<QTemporaryDir> m_dir;
    QScopedPointer<JSInterface> m_js;
    QScopedPointer<QSignalSpy> m_spy;
};

void tst_Archive::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_js.reset(new JSInterface(nullptr));
    m_spy.reset(new QSignalSpy(m_js.data(), &JSInterface::invokeJSCall));
}

void tst_Archive::cleanup()
{
    settle();
    m_spy.reset();
    m_js.reset();
}

void tst_Archive::settle()
{
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

QList<Call> tst_Archive::callsFor(const QString &uuid) const
{
    QList<Call> out;
    for (const QList<QVariant> &args : *m_spy) {
        const QVariantMap data = args.at(1).toMap();
        if (data.value("uuid") == uuid)
            out.append({args.at(0).toString(), data});
    }
    return out;
}

QList<Call> tst_Archive::unzip(const QString &uuid, const QString &zip, const QString &target)
{
    m_js->archiveUnzip(uuid, zip, target);
    const bool ended = QTest::qWaitFor([&] {
        const QList<Call> calls = callsFor(uuid);
        return !calls.isEmpty() && kEnds.contains(calls.last().name);
    }, 60000);
    if (!ended)
        qWarning("call %s did not end", qPrintable(uuid));
    settle();
    return callsFor(uuid);
}

void tst_Archive::progress_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("entrySize");
    QTest::addColumn<QList<int>>("expected");
    QTest::newRow("120 entries") << 120 << 10 << QList<int>{0, 1, 51, 101, 120};
    // Large enough for a second inflating thread: reports still in order.
    QTest::newRow("120 entries on two threads") << 120 << 48 * 1024
                                                << QList<int>{0, 1, 51, 101, 120};
    QTest::newRow("empty zip") << 0 << 0 << QList<int>{0, 0};
}

void tst_Archive::progress()
{
    QFETCH(int, count);
    QFETCH(int, entrySize);
    QFETCH(QList<int>, expected);
    Entries entries;
    for (int i = 0; i < count; ++i) {
        QByteArray data(entrySize, Qt::Uninitialized);
        for (int b = 0; b < entrySize; ++b)
            data[b] = char((quint32(b + i) * 2654435761u) >> 24);
        entries.append({QString("d%1/f%2.bin").arg(i % 7).arg(i), data});
    }
    QVERIFY(makeZip(path("p.zip"), entries));

    const QList<Call> calls = unzip("u", path("p.zip"), path("out"));
    QList<int> seen;
    for (int i = 0; i < calls.size() - 1; ++i) {
        QCOMPARE(calls.at(i).name, QStringLiteral("archiveUnzipProgress"));
        QCOMPARE(calls.at(i).data.value("total").toInt(), count);
        seen.append(calls.at(i).data.value("progress").toInt());
    }
    QCOMPARE(seen, expected);
    QCOMPARE(calls.last().name, QStringLiteral("archiveUnzipFinish"));
    QCOMPARE(calls.last().data, QVariantMap({{"file_path", path("p.zip")},
                                             {"target_path", path("out")},
                                             {"extracted_path", path("out")},
                                             {"uuid", "u"}}));
    for (const Entry &e : entries) {
        QFile f(path("out/" + e.name));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), e.data);
    }
}

void tst_Archive::failures_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("code");
    QTest::newRow("missing zip") << "missing" << 1;
    QTest::newRow("not a zip") << "text" << 2;
    QTest::newRow("damaged entry") << "damaged" << 2;
    QTest::newRow("target under a file") << "blocked" << 3;
}

void tst_Archive::failures()
{
    QFETCH(QString, setup);
    QFETCH(int, code);
    const QString zip = path("f.zip");
    QString target = path("out");
    if (setup == "text") {
        QFile f(zip);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("not a zip at all") > 0);
    } else if (setup == "damaged") {
        QVERIFY(makeZip(zip, {{"a.txt", QByteArray("some text ").repeated(500)}}));
        QFile f(zip);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.seek(30 + 5 + 20)); // inside the deflated data
        f.write("\xff\x00\xff", 3);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^damaged entry a.txt"));
    } else if (setup == "blocked") {
        QVERIFY(makeZip(zip, {{"a.txt", "a"}}));
        QFile f(path("file"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        target = path("file/out");
    }

    const QList<Call> calls = unzip("u", zip, target);
    QCOMPARE(calls.size(), setup == "damaged" ? 2 : 1); // + progress 0
    QCOMPARE(calls.last().name, QStringLiteral("archiveUnzipError"));
    QCOMPARE(calls.last().data, QVariantMap({{"file_path", zip}, {"target_path", target},
                                             {"code", code}, {"uuid", "u"}}));
    QVERIFY(!QFile::exists(path("out/a.txt"))); // no cut file passes for the entry
}

void tst_Archive::secondRunAndBackslashes()
{
    const QString target = path("out");
    QVERIFY(makeZip(path("1.zip"), {{"a/x.txt", "x"}, {"top.txt", "top"}}));
    QCOMPARE(unzip("1", path("1.zip"), target).last().name, QStringLiteral("archiveUnzipFinish"));
    QVERIFY(QDir(target).mkpath("extra"));
    QFile loose(target + "/loose.txt");
    QVERIFY(loose.open(QIODevice::WriteOnly));
    loose.close();

    QVERIFY(makeZip(path("2.zip"), {{"b\\sub\\y.txt", "y"}}));
    QCOMPARE(unzip("2", path("2.zip"), target).last().name, QStringLiteral("archiveUnzipFinish"));
    // Sub-folders are replaced, files directly in the target stay.
    QCOMPARE(snapshot(target).keys(),
             QStringList({"b", "b/sub", "b/sub/y.txt", "loose.txt", "top.txt"}));
}

void tst_Archive::abortsOnlyItsOwnCall()
{
    QVERIFY(makeZip(path("a.zip"), {{"a/1.txt", "1"}}));
    QVERIFY(makeZip(path("b.zip"), {{"b/1.txt", "1"}}));
    // Both calls wait for the pool while the abort comes in.
    QThreadPool *pool = QThreadPool::globalInstance();
    QSemaphore gate;
    const int threads = pool->maxThreadCount();
    for (int i = 0; i < threads; ++i)
        pool->start([&gate] { gate.acquire(); });
    m_js->archiveUnzip("a", path("a.zip"), path("outA"));
    m_js->archiveUnzip("b", path("b.zip"), path("outB"));
    m_js->abortArchiveUnzip("a");
    m_js->abortArchiveUnzip("no such call");
    gate.release(threads);
    settle();
    auto ended = [this](const QString &uuid) {
        const QList<Call> calls = callsFor(uuid);
        return !calls.isEmpty() && kEnds.contains(calls.last().name);
    };
    QTRY_VERIFY_WITH_TIMEOUT(ended("a") && ended("b"), 30000);
    settle();

    const QList<Call> a = callsFor("a");
    QCOMPARE(a.size(), 1);
    QCOMPARE(a.first().name, QStringLiteral("archiveUnzipAbort"));
    QCOMPARE(a.first().data, QVariantMap({{"file_path", path("a.zip")},
                                          {"target_path", path("outA")},
                                          {"uuid", "a"}}));
    QVERIFY(!QFile::exists(path("outA/a/1.txt")));
    QCOMPARE(callsFor("b").last().name, QStringLiteral("archiveUnzipFinish"));
    QVERIFY(QFile::exists(path("outB/b/1.txt")));
}

void tst_Archive::abortStopsBetweenEntries()
{
    Entries entries;
    for (int i = 0; i < 120; ++i)
        entries.append({QString("f%1.txt").arg(i), "x"});
    QVERIFY(makeZip(path("p.zip"), entries));
    ZipExtraction extraction;
    extraction.setMaxThreads(1);
    QSignalSpy cancels(&extraction, &ZipExtraction::cancel);
    QSignalSpy errors(&extraction, &ZipExtraction::error);
    connect(&extraction, &ZipExtraction::progress, &extraction, [&](int, int done) {
        if (done == 1)
            extraction.abort();
    });
    QCOMPARE(extraction.extract(path("p.zip"), path("out")), ZipExtraction::ExtractionAborted);
    QCOMPARE(cancels.count(), 1);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(QDir(path("out")).entryList(QDir::Files), QStringList{"f0.txt"});
}

void tst_Archive::otherProducers_data()
{
    QTest::addColumn<QString>("producer");
    QTest::newRow("Info-ZIP zip") << "zip";
    QTest::newRow("python zipfile") << "python";
}

void tst_Archive::otherProducers()
{
    QFETCH(QString, producer);
    makeTree(path("src"));
    QVERIFY(produce(producer, path("src"), path("other.zip")));
    QCOMPARE(unzip("u", path("other.zip"), path("out")).last().name,
             QStringLiteral("archiveUnzipFinish"));
    QCOMPARE(snapshot(path("out")), snapshot(path("src")));
}

void tst_Archive::traversal()
{
    QFETCH(Entries, rowEntries);
    const QString target = path("parent/out");
    QVERIFY(QDir().mkpath(target + "/keep"));
    QVERIFY(makeZip(path("hostile.zip"), placed(rowEntries, target)));
    auto before = snapshot(m_dir->path());
    const bool throughLink = QTest::currentDataTag() == QLatin1String("link, then a file through it");
    if (!throughLink)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^refused entry "));

    const QList<Call> calls = unzip("u", path("hostile.zip"), target);
    QCOMPARE(calls.last().name, QStringLiteral("archiveUnzipError"));
    QCOMPARE(calls.last().data.value("code").toInt(), 3);
    // Names are checked before the target is cleared: only the link row,
    // whose link is written as a plain file, gets that far.
    auto after = snapshot(m_dir->path());
    if (throughLink) {
        for (auto *map : {&after, &before}) {
            for (const QString &key : map->keys()) {
                if (key.startsWith("parent/out/"))
                    map->remove(key);
            }
        }
    }
    QCOMPARE(after, before);
}

void tst_Archive::linksInTargetAreReplaced()
{
    const QString target = path("out");
    QVERIFY(QDir().mkpath(target) && QDir().mkpath(path("outside")));
    QFile secret(path("outside/secret.txt"));
    QVERIFY(secret.open(QIODevice::WriteOnly) && secret.write("secret") == 6);
    secret.close();
    QVERIFY(QFile::link(path("outside"), target + "/dirlink"));
    QVERIFY(QFile::link(path("outside/secret.txt"), target + "/filelink"));
    QVERIFY(makeZip(path("l.zip"), {{"dirlink/new.txt", "new"}, {"filelink", "replaced"}}));
    const auto outside = snapshot(path("outside"));

    QCOMPARE(unzip("u", path("l.zip"), target).last().name, QStringLiteral("archiveUnzipFinish"));
    QCOMPARE(snapshot(path("outside")), outside);
    QVERIFY(!QFileInfo(target + "/dirlink").isSymLink());
    QVERIFY(!QFileInfo(target + "/filelink").isSymLink());
}

// Entries are streamed: a large entry costs a buffer, not its size. Both
// extraction paths.
void tst_Archive::boundedMemory()
{
    constexpr int kMb = 1024 * 1024;
    const QString zipPath = path("big.zip");
    {
        QuaZip zip(zipPath);
        QVERIFY(zip.open(QuaZip::mdCreate));
        QuaZipFile file(&zip);
        QVERIFY(file.open(QIODevice::WriteOnly, QuaZipNewInfo("big.bin")));
        const QByteArray chunk(kMb, 'z');
        for (int i = 0; i < 128; ++i)
            QCOMPARE(file.write(chunk), qint64(kMb));
    }
    QFile clear("/proc/self/clear_refs");
    if (!clear.open(QIODevice::WriteOnly) || clear.write("5") != 1)
        QSKIP("peak memory cannot be reset here");
    clear.close();
    const qint64 start = peakKb();

    QCOMPARE(unzip("u", zipPath, path("out")).last().name, QStringLiteral("archiveUnzipFinish"));
    CZip zip;
    const QSharedPointer<Task::ITask> task = zip.extractFiles(
        zipPath, {{"big", QVariantMap{{"source", "big.bin"}, {"target", path("copy.bin")}}}});
    QSignalSpy done(task.data(), &Task::ITask::onResolved);
    task->start();
    QVERIFY(done.wait(60000));
    QCOMPARE(QFileInfo(path("out/big.bin")).size(), qint64(128) * kMb);
    QCOMPARE(QFileInfo(path("copy.bin")).size(), qint64(128) * kMb);
    QVERIFY2(peakKb() - start < 32 * 1024, qPrintable(QString::number(peakKb() - start)));
}

QTEST_MAIN(tst_Archive)
#include "tst_archive.moc"
