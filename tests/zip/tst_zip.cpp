// The zip plugin in process: edge rows of every operation, archives of other
// producers, our archives read by Info-ZIP, and hostile entry names.

#include "bridge/task.h"
#include "plugins/zip/czip.h"
#include "tests/zip/ziptest.h"

#include <QTemporaryDir>
#include <QtTest>

#include <zlib.h>

using namespace ZipTest;

namespace {

struct Outcome
{
    QString name;
    QVariantMap data;
};

// Starts the task and waits for its end (deadline one minute).
Outcome finish(const QSharedPointer<Task::ITask> &task)
{
    Outcome out;
    int ends = 0;
    auto end = [&](const ResponsePtr &r) {
        ++ends;
        out.name = r->functionName;
        out.data = r->toVariantMap();
    };
    QObject::connect(task.data(), &Task::ITask::onResolved, end);
    QObject::connect(task.data(), &Task::ITask::onRejected, end);
    task->start();
    if (!QTest::qWaitFor([&] { return ends > 0; }, 60000))
        out.name = QStringLiteral("timeout");
    return out;
}

QVariantMap item(const QString &type, const QString &path, const QVariant &data)
{
    QVariantMap m{{"path", path}, {"data", data}};
    if (!type.isEmpty())
        m.insert("type", type);
    return m;
}

QVariantMap codes(std::initializer_list<std::pair<QString, int>> list)
{
    QVariantMap m;
    for (const auto &p : list)
        m.insert(p.first, QVariantMap{{"code", p.second}});
    return m;
}

// Entry name -> content.
QVariantMap contents(const QString &zipPath)
{
    QVariantMap out;
    QuaZip zip(zipPath);
    zip.setFileNameCodec("UTF-8");
    if (!zip.open(QuaZip::mdUnzip))
        return out;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        QuaZipFile f(&zip);
        f.open(QIODevice::ReadOnly);
        out.insert(zip.getCurrentFileName(), f.readAll());
    }
    return out;
}

} // namespace

class tst_Zip : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        // Relative paths are the process's current folder's.
        QVERIFY(QDir::setCurrent(m_dir->path()));
    }
    void addFiles_data();
    void addFiles();
    void readListExtract();
    void otherProducers_data();
    void otherProducers();
    void ourArchivesPassInfoZip();
    void traversal_data() { traversalRows(); }
    void traversal();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    CZip m_zip;
    QScopedPointer<QTemporaryDir> m_dir;
};

void tst_Zip::addFiles_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QVariantMap>("files");
    QTest::addColumn<QString>("callback");
    QTest::addColumn<QVariantMap>("payload");
    QTest::addColumn<QVariantMap>("after"); // entry -> content

    const QVariantMap one{{"a", item({}, "a.txt", "x")}};
    const QVariantMap old{{"old.txt", QByteArray("old")}};
    QTest::newRow("unknown mode") << "append" << one << "zipAddFilesFail"
                                  << QVariantMap{{"code", -102}} << old;
    QTest::newRow("Add with a capital appends, no type means raw")
        << "Add" << one << "zipAddFilesDone" << codes({{"a", 0}})
        << QVariantMap{{"old.txt", QByteArray("old")}, {"a.txt", QByteArray("x")}};
    QTest::newRow("create replaces the archive")
        << "CREATE" << QVariantMap{{"a", item("raw", "ü/a.txt", "grüß")}} << "zipAddFilesDone"
        << codes({{"a", 0}}) << QVariantMap{{"ü/a.txt", QString("grüß").toUtf8()}};
    QTest::newRow("RAW in capitals passes validation, then is refused")
        << "create" << QVariantMap{{"a", item("RAW", "a.txt", "x")}} << "zipAddFilesDone"
        << codes({{"a", -102}}) << QVariantMap();
    QTest::newRow("invalid items")
        << "create"
        << QVariantMap{{"noData", QVariantMap{{"path", "a"}}},
                       {"emptyPath", item("raw", "", "x")},
                       {"badType", item("zip", "a", "x")},
                       {"notAMap", "a.txt"}}
        << "zipAddFilesDone"
        << codes({{"noData", -102}, {"emptyPath", -102}, {"badType", -102}, {"notAMap", -102}})
        << QVariantMap();
    QTest::newRow("path items: a missing file is -104 and writes nothing")
        << "add"
        << QVariantMap{{"missing", item("path", "m.txt", "none")},
                       {"file", item("path", "dir/src.txt", "src.txt")}}
        << "zipAddFilesDone" << codes({{"missing", -104}, {"file", 0}})
        << QVariantMap{{"old.txt", QByteArray("old")}, {"dir/src.txt", QByteArray("source")}};
}

void tst_Zip::addFiles()
{
    QFETCH(QString, mode);
    QFETCH(QVariantMap, files);
    QFETCH(QString, callback);
    QFETCH(QVariantMap, payload);
    QFETCH(QVariantMap, after);
    const QString archive = path("add.zip");
    QVERIFY(makeZip(archive, {{"old.txt", "old"}}));
    QFile src(path("src.txt"));
    QVERIFY(src.open(QIODevice::WriteOnly) && src.write("source") == 6);
    src.close();

    const Outcome out = finish(m_zip.addFiles(archive, mode, files));
    QCOMPARE(out.name, callback);
    QCOMPARE(out.data, payload);
    QCOMPARE(contents(archive), after);
}

void tst_Zip::readListExtract()
{
    const QString archive = path("r.zip");
    QVERIFY(makeZip(archive, {{"a.txt", "alpha"}, {"dir/", {}}, {"empty.txt", {}}}));
    QFile blocker(path("blocker"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));

    const Outcome read = finish(m_zip.readFiles(archive, {{"a", "a.txt"}, {"e", "empty.txt"},
                                                          {"missing", "none.txt"}, {"blank", ""}}));
    QCOMPARE(read.name, QStringLiteral("zipReadFilesDone"));
    QCOMPARE(read.data.value("a"), QVariant(QVariantMap{{"code", 0}, {"data", QByteArray("alpha")}}));
    QCOMPARE(read.data.value("e"), QVariant(QVariantMap{{"code", 0}, {"data", QByteArray()}}));
    // QuaZip calls a name that is not there a success; the page must not.
    QCOMPARE(read.data.value("missing").toMap().value("code"), QVariant(-100));
    QCOMPARE(read.data.value("blank").toMap().value("code"), QVariant(-100));

    const Outcome list = finish(m_zip.listContents(archive));
    QCOMPARE(list.name, QStringLiteral("zipListContentsDone"));
    const QVariantList entries = list.data.value("data").toList();
    QCOMPARE(entries.size(), 3);
    const QVariantMap a = entries.at(0).toMap();
    QCOMPARE(a.value("crc").toUInt(), uint(crc32(0, reinterpret_cast<const Bytef *>("alpha"), 5)));
    QCOMPARE(a.value("uncompressedSize").toInt(), 5);
    QCOMPARE(entries.at(1).toMap().value("isDir"), QVariant(true));
    QCOMPARE(entries.at(2).toMap().value("isDir"), QVariant(false));

    const QString target = path("new/chain/a.txt");
    const Outcome ex = finish(m_zip.extractFiles(archive, {
        {"a", QVariantMap{{"source", "a.txt"}, {"target", target}}},
        {"missing", QVariantMap{{"source", "none"}, {"target", path("none")}}},
        {"noSource", QVariantMap{{"target", path("x")}}},
        {"blocked", QVariantMap{{"source", "a.txt"}, {"target", path("blocker/a.txt")}}}}));
    QCOMPARE(ex.name, QStringLiteral("zipExtractFilesDone"));
    QCOMPARE(ex.data.value("a"), QVariant(QVariantMap{{"code", 0}, {"path", target}}));
    QCOMPARE(ex.data.value("missing"), QVariant(QVariantMap{{"code", -100}}));
    QCOMPARE(ex.data.value("noSource"), QVariant(QVariantMap{{"code", -102}}));
    QCOMPARE(ex.data.value("blocked"), QVariant(QVariantMap{{"code", -1000}}));
    QFile extracted(target);
    QVERIFY(extracted.open(QIODevice::ReadOnly));
    QCOMPARE(extracted.readAll(), QByteArray("alpha"));
    // rwx for the owner, r-x for the rest: never group- or world-writable.
    QCOMPARE(QFileInfo(target).permissions() & 0x0777, QFile::Permissions(0x0755));

    QVERIFY(makeZip(path("empty.zip"), {}));
    const Outcome empty = finish(m_zip.listContents(path("empty.zip")));
    QCOMPARE(empty.name, QStringLiteral("zipListContentsDone"));
    QCOMPARE(empty.data, QVariantMap({{"data", QVariantList()}}));
    for (const Outcome &missing : {finish(m_zip.readFiles(path("none.zip"), {})),
                                   finish(m_zip.listContents(path("none.zip"))),
                                   finish(m_zip.extractFiles(path("none.zip"), {}))}) {
        QVERIFY2(missing.name.endsWith("Fail"), qPrintable(missing.name));
        QVERIFY(missing.data.value("code").toInt() != 0);
    }
    QCOMPARE(finish(m_zip.compressDirectory(path("c.zip"), path("no-such-dir"))).name,
             QStringLiteral("zipCompressDirectoryFail"));
}

void tst_Zip::otherProducers_data()
{
    QTest::addColumn<QString>("producer");
    QTest::newRow("Info-ZIP zip") << "zip";
    QTest::newRow("python zipfile") << "python";
}

void tst_Zip::otherProducers()
{
    QFETCH(QString, producer);
    const QString src = path("src");
    makeTree(src);
    const QString archive = path("other.zip");
    QVERIFY(produce(producer, src, archive));

    const Outcome list = finish(m_zip.listContents(archive));
    QCOMPARE(list.name, QStringLiteral("zipListContentsDone"));
    QVariantMap reads, extracts;
    QStringList folders;
    for (const QVariant &v : list.data.value("data").toList()) {
        const QVariantMap e = v.toMap();
        const QString name = e.value("zipPath").toString();
        if (e.value("isDir").toBool()) {
            folders << name;
            continue;
        }
        QFile f(src + '/' + name);
        QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(name));
        const QByteArray data = f.readAll();
        QCOMPARE(e.value("uncompressedSize").toLongLong(), qint64(data.size()));
        QCOMPARE(e.value("crc").toUInt(),
                 uint(crc32(0, reinterpret_cast<const Bytef *>(data.constData()), data.size())));
        if (producer == "python" && name == "top.txt")
            QCOMPARE(e.value("comment").toString(), QStringLiteral("entry note"));
        reads.insert(name, name);
        extracts.insert(name, QVariantMap{{"source", name}, {"target", path("out/" + name)}});
    }
    folders.sort();
    QVERIFY2(folders.contains("emptydir/") && folders.contains("folder/deeper/"),
             qPrintable(folders.join(' ')));
    QCOMPARE(reads.size(), 4);

    const Outcome read = finish(m_zip.readFiles(archive, reads));
    for (auto it = read.data.cbegin(); it != read.data.cend(); ++it) {
        QFile f(src + '/' + it.key());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(it.value().toMap().value("data").toByteArray(), f.readAll());
    }
    finish(m_zip.extractFiles(archive, extracts));
    QDir(src).rmdir("emptydir"); // extractFiles writes files only
    QCOMPARE(snapshot(path("out")), snapshot(src));
}

void tst_Zip::ourArchivesPassInfoZip()
{
    const QString src = path("src");
    makeTree(src);
    const QString added = path("added.zip");
    const Outcome add = finish(m_zip.addFiles(added, "create", {
        {"raw", item("raw", "top.txt", QByteArray("top level\n"))},
        {"big", item("path", "big.bin", src + "/big.bin")},
        {"nested", item("path", "folder/deeper/nested.txt", src + "/folder/deeper/nested.txt")},
        {"empty", item("path", "folder/empty.txt", src + "/folder/empty.txt")}}));
    QCOMPARE(add.name, QStringLiteral("zipAddFilesDone"));
    const QString compressed = path("compressed.zip");
    QCOMPARE(finish(m_zip.compressDirectory(compressed, src)).name,
             QStringLiteral("zipCompressDirectoryDone"));

    // An archive inside the folder it packs does not hold itself.
    const QString inside = src + "/self.zip";
    QCOMPARE(finish(m_zip.compressDirectory(inside, src)).name,
             QStringLiteral("zipCompressDirectoryDone"));
    QVERIFY(!contents(inside).contains("self.zip"));
    QCOMPARE(contents(inside), contents(compressed));
    QFile::remove(inside);

    for (const QString &archive : {added, compressed}) {
        QCOMPARE(run("unzip", {"-tq", archive}), 0);
        const QString out = archive + ".out";
        QCOMPARE(run("unzip", {"-q", archive, "-d", out}), 0);
        QMap<QString, QByteArray> expected = snapshot(src);
        if (archive == added) // no folder entries of its own
            expected.remove("emptydir");
        QCOMPARE(snapshot(out), expected);
    }
}

void tst_Zip::traversal()
{
    QFETCH(Entries, rowEntries);
    const QString target = path("parent/out");
    QVERIFY(QDir().mkpath(target));
    const Entries entries = placed(rowEntries, target);
    QVariantMap items;
    for (const Entry &e : entries) {
        items.insert(e.name, QVariantMap{{"source", e.name}, {"target", target + '/' + e.name}});
    }
    const QString archive = path("hostile.zip");
    QVERIFY(makeZip(archive, entries));
    const auto before = snapshot(m_dir->path());

    const Outcome out = finish(m_zip.extractFiles(archive, items));
    QCOMPARE(out.name, QStringLiteral("zipExtractFilesDone"));
    const QString hostile = entries.last().name;
    QVERIFY(out.data.value(hostile).toMap().value("code").toInt() != 0);
    auto after = snapshot(m_dir->path());
    for (const QString &key : after.keys()) {
        if (key.startsWith("parent/out/"))
            after.remove(key);
    }
    QCOMPARE(after.keys(), before.keys());
    QCOMPARE(after, before);
}

QTEST_GUILESS_MAIN(tst_Zip)
#include "tst_zip.moc"
