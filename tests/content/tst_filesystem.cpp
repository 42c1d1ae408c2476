#include "contenttest.h"
#include "tests/support/damagearchive.h"

#include "bridge/task.h"
#include "content/copycache.h"
#include "content/ziparchiveaccessmanager.h"
#include "plugins/filesystem/cfilesystem.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

using namespace ContentTest;

namespace {

QString tempPath(const QString &relative) { return QDir::cleanPath(QDir::tempPath() + '/' + relative); }

QVariantMap copyItem(const QString &from, const QString &to, const QString &type = {})
{
    QVariantMap item{{"from", from}, {"to", to}};
    if (!type.isEmpty())
        item.insert("type", type);
    return item;
}

} // namespace

class tst_FileSystem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<QSharedPointer<IResponse>>(); }
    void init() { m_dir.reset(new QTemporaryDir); }

    void deleteItems();
    void listFolder_data();
    void listFolder();
    void copyValidation_data();
    void copyValidation();
    void copyClimbingOutOfArchiveFails();
    void temporaryCopies();
    void copyKeepsWhatItMustNotTouch();
    void failedCopyLeavesNothing_data();
    void failedCopyLeavesNothing();
    void routineReusesAndSerialisesCopies();
    void copyStopsWithThePlugin();

private:
    QVariantMap run(const QSharedPointer<Task::ITask> &task, const QString &callback);
    QVariantMap copy(CFileSystem &fs, const QVariantMap &item)
    {
        return run(fs.itemsCopy({{"c", item}}), "fsItemsCopyFinish").value("c").toMap();
    }
    QString unique() const { return QFileInfo(m_dir->path()).fileName(); }
    QScopedPointer<QTemporaryDir> m_dir;
};

QVariantMap tst_FileSystem::run(const QSharedPointer<Task::ITask> &task, const QString &callback)
{
    QSignalSpy resolved(task.data(), &Task::ITask::onResolved);
    QSignalSpy rejected(task.data(), &Task::ITask::onRejected);
    task->start();
    if (resolved.isEmpty())
        resolved.wait(20000);
    const auto response = resolved.isEmpty() ? ResponsePtr()
                                             : resolved.at(0).at(0).value<QSharedPointer<IResponse>>();
    [&] {
        QCOMPARE(rejected.count(), 0);
        QVERIFY(response);
        QCOMPARE(response->functionName, callback);
    }();
    return response ? response->toVariantMap() : QVariantMap();
}

// A file, and a link to a folder: the link goes, never what it points to.
void tst_FileSystem::deleteItems()
{
    QVERIFY(writeTree(m_dir->path(), {{"f.txt", "f"}, {"precious/keep.txt", "keep"}}));
    const QString link = m_dir->filePath("link");
    QVERIFY(QFile::link(m_dir->filePath("precious"), link));
    CFileSystem fs(nullptr);
    const QVariantMap result =
        run(fs.itemsDelete({{"f", m_dir->filePath("f.txt")}, {"l", link}}), "fsItemsDeleteFinish");
    QCOMPARE(result.value("f").toMap().value("isDir").toBool(), false);
    QCOMPARE(result.value("f").toMap().value("isDeleted").toBool(), true);
    QCOMPARE(result.value("l").toMap().value("isDeleted").toBool(), true);
    QVERIFY(!QFileInfo::exists(m_dir->filePath("f.txt")));
    QVERIFY(!QFileInfo(link).isSymLink());
    QCOMPARE(readFile(m_dir->filePath("precious/keep.txt")), QByteArray("keep"));
}

void tst_FileSystem::listFolder_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("paths"); // the entries' file_path values
    QTest::newRow("hidden left out, not recursive") << "<dir>/root" << QStringList{"/a.txt", "/sub"};
    // Removing every occurrence of the root text would lose the child's name.
    QTest::newRow("child named like the root") << "<dir>/d" << QStringList{"/d"};
    QTest::newRow("relative root keeps full paths") << "rel" << QStringList{"<dir>/rel/child.txt"};
}

void tst_FileSystem::listFolder()
{
    QFETCH(QString, path);
    QFETCH(QStringList, paths);
    QVERIFY(writeTree(m_dir->path(), {{"root/a.txt", "aaa"}, {"root/.hidden", "h"},
                                      {"root/sub/inner.txt", "i"}, {"d/d/x", "x"},
                                      {"rel/child.txt", "c"}}));
    const QVariantMap request{{"path", path.replace("<dir>", m_dir->path())}};
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    CFileSystem fs(nullptr);
    const QVariantMap entry = run(fs.itemsList({{"r", request}}), "fsItemsListDone").value("r").toMap();
    QDir::setCurrent(previous);
    QStringList got;
    for (const QVariant &e : entry.value("entries").toList())
        got.append(e.toMap().value("file_path").toString());
    std::sort(got.begin(), got.end());
    QCOMPARE(got, paths.replaceInStrings("<dir>", m_dir->path()));
}

void tst_FileSystem::copyValidation_data()
{
    QTest::addColumn<QVariantMap>("item");
    QTest::addColumn<int>("code");
    QTest::newRow("from missing") << QVariantMap{{"to", "x.txt"}} << 606;
    QTest::newRow("to missing") << QVariantMap{{"from", "<src>"}} << 606;
    QTest::newRow("unknown type") << copyItem("<src>", "x.txt", "cached") << 606;
    QTest::newRow("defaults: temporary, normal") << copyItem("<src>", "x.txt") << 0;
    QVariantMap anyCase = copyItem("<src>", "x.txt", "NORMAL");
    anyCase.insert("location", "Local");
    QTest::newRow("words in any case") << anyCase << 0;
}

void tst_FileSystem::copyValidation()
{
    QFETCH(QVariantMap, item);
    QFETCH(int, code);
    QVERIFY(writeTree(m_dir->path(), {{"src.txt", "source"}}));
    if (item.value("from") == "<src>")
        item.insert("from", m_dir->filePath("src.txt"));
    if (!item.value("to").toString().isEmpty())
        item.insert("to", unique() + "-" + item.value("to").toString());
    CFileSystem fs(nullptr);
    const QVariantMap entry = copy(fs, item);
    QCOMPARE(entry.value("code").toInt(), code);
    if (code != 0) {
        QCOMPARE(entry.keys(), QStringList{"code"});
        return;
    }
    QCOMPARE(readFile(entry.value("filepath").toString()), QByteArray("source"));
    QFile::remove(entry.value("filepath").toString());
}

// An archive path climbing out of the tree is neither looked up nor read from disk.
void tst_FileSystem::copyClimbingOutOfArchiveFails()
{
    FakeArchive archive({{"webapp/present.txt", "p"}});
    CFileSystem fs(&archive);
    QCOMPARE(copy(fs, copyItem("/webapp/../../etc/hostname", "h.txt")).value("code").toInt(), 605);
    QCOMPARE(archive.asked(), QStringList());
}

// A new temporary copy replaces the cached one (not a new file of its name);
// only the exact word removes its copy: "Temporary" is cached but kept.
void tst_FileSystem::temporaryCopies()
{
    QVERIFY(writeTree(m_dir->path(), {{"src.txt", "one"}}));
    const QString src = m_dir->filePath("src.txt");
    QString capitalised;
    {
        CFileSystem fs(nullptr);
        auto temporary = [&](const QString &name, const char *type = "temporary") {
            return copy(fs, copyItem(src, unique() + name, type)).value("filepath").toString();
        };
        const QString first = temporary("-1.txt");
        QCOMPARE(readFile(first), QByteArray("one"));
        QVERIFY(writeTree(m_dir->path(), {{"src.txt", "two"}}));
        QCOMPARE(readFile(temporary("-2.txt")), QByteArray("two"));
        QVERIFY(!QFileInfo::exists(first));
        for (int i = 0; i < 2; ++i)
            QCOMPARE(readFile(temporary("-same.txt")), QByteArray("two"));
        capitalised = temporary("-cap.txt", "Temporary");
        QVariantMap out;
        QCOMPARE(fs.copy(src, src, unique() + "-other.txt", "temporary", "temporary", out, false), 0);
        QCOMPARE(out.value("filepath").toString(), capitalised); // cached
    }
    QVERIFY(QFileInfo::exists(capitalised));
    QFile::remove(capitalised);
}

// A missing source costs the page nothing; a file copied onto itself neither.
void tst_FileSystem::copyKeepsWhatItMustNotTouch()
{
    const QString name = unique() + "-kept.txt";
    QVERIFY(writeTree(QDir::tempPath(), {{name, "precious"}}));
    CFileSystem fs(nullptr);
    QCOMPARE(copy(fs, copyItem(m_dir->filePath("none"), name)).value("code").toInt(), 605);
    QCOMPARE(readFile(tempPath(name)), QByteArray("precious"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("refused to copy .* onto itself"));
    QCOMPARE(copy(fs, copyItem(tempPath(name), name)).value("code").toInt(), 606);
    QCOMPARE(readFile(tempPath(name)), QByteArray("precious"));
    QFile::remove(tempPath(name));
}

void tst_FileSystem::failedCopyLeavesNothing_data()
{
    QTest::addColumn<QString>("to"); // empty: /dev/full
    QTest::addColumn<QString>("type");
    QTest::newRow("source breaks, old normal file stays") << "cut.bin" << "normal";
    QTest::newRow("source breaks, temporary file") << "cut-t.bin" << "temporary";
    QTest::newRow("device full, normal") << "" << "normal";
    QTest::newRow("device full, temporary") << "" << "temporary";
}

void tst_FileSystem::failedCopyLeavesNothing()
{
    QFETCH(QString, to);
    QFETCH(QString, type);
    // Stored: the damage shows only in the CRC, once every byte is written.
    const QString zip = m_dir->filePath("data.zip");
    QVERIFY(writeZip(zip, {{"webapp/big.bin", QByteArray(100000, 'b')}}, {}, 0));
    QString error;
    QVERIFY2(DamageArchive::damageZipEntry(zip, "webapp/big.bin", 0.5, &error), qPrintable(error));
    ZipArchiveAccessManager broken(zip);
    CFileSystem fs(&broken);
    QVariantMap item = copyItem("/webapp/big.bin", unique() + '-' + to, type);
    if (to.isEmpty()) {
        if (!QFileInfo::exists("/dev/full"))
            QSKIP("needs /dev/full");
        QVERIFY(writeTree(m_dir->path(), {{"src.bin", QByteArray(100000, 'w')}}));
        // "to" climbs from the temporary folder to the device.
        item = copyItem(m_dir->filePath("src.bin"), QDir(QDir::tempPath()).relativeFilePath("/dev/full"),
                        type);
    }
    const bool old = !to.isEmpty() && type == "normal";
    QVERIFY(!old || writeTree(QDir::tempPath(), {{unique() + '-' + to, "precious"}}));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("copy of .* failed"));
    const QVariantMap entry = copy(fs, item);
    QCOMPARE(entry, (QVariantMap{{"code", 605}}));
    if (to.isEmpty())
        QVERIFY(QFileInfo::exists("/dev/full") && !QFileInfo("/dev/full").isFile());
    else if (old)
        QCOMPARE(readFile(tempPath(unique() + '-' + to)), QByteArray("precious"));
    else
        QVERIFY(!QFileInfo::exists(tempPath(unique() + '-' + to)));
    QCOMPARE(QDir::temp().entryList({".kelcab-*"}, QDir::Files | QDir::Hidden), QStringList());
}

// One copy per archive entry however many ask at once; one deleted behind
// the plugin's back is made again; all go with the plugin.
void tst_FileSystem::routineReusesAndSerialisesCopies()
{
    FakeArchive archive({{"webapp/big.mp4", QByteArray(3 * 1048576, 'z')}, {"webapp/a.ogg", "ogg"}});
    auto fs = std::make_unique<CopyCache>(&archive);
    QThreadPool pool;
    pool.setMaxThreadCount(8);
    QList<QFuture<QString>> futures;
    for (int i = 0; i < 8; ++i) {
        futures.append(QtConcurrent::run(&pool, [f = fs.get(), i] {
            QVariantMap out;
            const int code = f->copy("/webapp/big.mp4", "/webapp/big.mp4", QStringLiteral("par-%1.mp4").arg(i),
                                     "temporary", "temporary", out, false, CopyCache::Source::Archive);
            return code == 0 ? out.value("filepath").toString() : QString();
        }));
    }
    QSet<QString> paths;
    for (QFuture<QString> &f : futures)
        paths.insert(f.result());
    QCOMPARE(paths.size(), 1);
    QCOMPARE(QFileInfo(*paths.begin()).size(), qint64(3 * 1048576));
    QCOMPARE(archive.asked().size(), 1);

    QVariantMap one, two;
    QCOMPARE(fs->copy("/webapp/a.ogg", "/webapp/a.ogg", "r1.ogg", "temporary", "temporary", one, false), 0);
    QVERIFY(QFile::remove(one.value("filepath").toString()));
    QCOMPARE(fs->copy("/webapp/a.ogg", "/webapp/a.ogg", "r2.ogg", "temporary", "temporary", two, false), 0);
    QCOMPARE(readFile(two.value("filepath").toString()), QByteArray("ogg"));
    fs.reset();
    QVERIFY(!QFileInfo::exists(two.value("filepath").toString()));
}

// Copies fail at their next chunk once the plugin has gone, without a trace.
void tst_FileSystem::copyStopsWithThePlugin()
{
    FakeArchive archive({{"webapp/big.bin", QByteArray(3 * 1048576, 'b')}});
    auto *fs = new CFileSystem(&archive);
    const auto task = fs->itemsCopy({{"c", copyItem("/webapp/big.bin", unique() + "-big", "normal")}});
    delete fs;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("copy of .* failed - stopped"));
    QCOMPARE(run(task, "fsItemsCopyFinish").value("c").toMap(), (QVariantMap{{"code", 605}}));
    QVERIFY(!QFileInfo::exists(tempPath(unique() + "-big")));
    QCOMPARE(QDir::temp().entryList({".kelcab-*"}, QDir::Files | QDir::Hidden), QStringList());
}

QTEST_GUILESS_MAIN(tst_FileSystem)
#include "tst_filesystem.moc"
