#include "contenttest.h"

#include "app/pathsmanager.h"
#include "bridge/constants.h"
#include "bridge/task.h"
#include "content/ziparchiveaccessmanager.h"
#include "content/kelcabarchivemanager.h"
#include "plugins/filesystem/autoremovefile.h"
#include "plugins/filesystem/cfilesystem.h"
#include "plugins/filesystem/chunkedcopy.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

using namespace ContentTest;

namespace {

QString tempPath(const QString &relative)
{
    return QDir::cleanPath(QDir::tempPath() + QLatin1Char('/') + relative);
}

QVariantMap copyItem(const QString &from, const QString &to, const QVariant &location = {},
                     const QVariant &type = {})
{
    QVariantMap item;
    if (!from.isNull())
        item.insert(QStringLiteral("from"), from);
    if (!to.isNull())
        item.insert(QStringLiteral("to"), to);
    if (location.isValid())
        item.insert(QStringLiteral("location"), location);
    if (type.isValid())
        item.insert(QStringLiteral("type"), type);
    return item;
}

// A device that takes at most `room` bytes, then refuses.
class LimitedDevice : public QIODevice
{
public:
    explicit LimitedDevice(qint64 room) : m_room(room) { open(WriteOnly); }
    qint64 written = 0;

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64 len) override
    {
        const qint64 n = qMin(len, m_room - written);
        if (n <= 0)
            return -1;
        written += n;
        return n;
    }

private:
    qint64 m_room;
};

// A source that fails after its first chunk.
class BrokenSource : public QIODevice
{
public:
    BrokenSource() { open(ReadOnly); }

protected:
    qint64 readData(char *data, qint64 max) override
    {
        if (m_served) {
            setErrorString(QStringLiteral("damaged page"));
            return -1;
        }
        m_served = true;
        const qint64 n = qMin<qint64>(max, 10);
        memset(data, 'b', size_t(n));
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    bool m_served = false;
};

} // namespace

class tst_FileSystem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void infoOfPaths_data();
    void infoOfPaths();
    void emptyMapsAnswerEmptyMaps_data();
    void emptyMapsAnswerEmptyMaps();

    void deleteFolderTree();
    void deleteMissingPath();
    void deleteFile();
    void deleteLinkToFolderKeepsTarget();

    void listFolder();
    void listWithoutPath();
    void listKeepsNamesThatRepeatTheRoot();
    void listRelativeRootKeepsFullPaths();

    void copyValidation_data();
    void copyValidation();
    void copyLocalFile_data();
    void copyLocalFile();
    void copyArchiveEntry_data();
    void copyArchiveEntry();
    void copyMissingArchiveEntryIsNotReadFromDisk();
    void copyTemporaryTwiceReplacesFirst();
    void copyTemporaryTwiceToSameName();
    void copyCapitalisedTemporaryIsCachedButKept();
    void copyMissingSourceKeepsExistingTarget();
    void copyOntoItselfIsRefused();
    void copyWriteFailureIs605();

    void routineReusesTemporaryCopy();
    void routineRecopiesDeletedCachedFile();
    void routineSerialisesOneKey();
    void cacheDiesWithPlugin();

    void contentsRootPath();

    void chunkedCopy_data();
    void chunkedCopy();
    void chunkedCopyShortWriteThrows();
    void chunkedCopyFailedReadThrows();
    void autoRemoveFileSparesWhatItDidNotWrite();

private:
    QVariantMap run(const QSharedPointer<Task::ITask> &task, const QString &callback);
    QScopedPointer<QTemporaryDir> m_dir;
};

void tst_FileSystem::initTestCase()
{
    qRegisterMetaType<QSharedPointer<IResponse>>();
}

void tst_FileSystem::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void tst_FileSystem::cleanup()
{
    m_dir.reset();
}

QVariantMap tst_FileSystem::run(const QSharedPointer<Task::ITask> &task, const QString &callback)
{
    [&] { QVERIFY(task); }();
    if (!task)
        return {};
    QSignalSpy resolved(task.data(), &Task::ITask::onResolved);
    QSignalSpy rejected(task.data(), &Task::ITask::onRejected);
    task->start();
    if (resolved.isEmpty())
        resolved.wait(20000);
    [&] {
        QCOMPARE(resolved.count(), 1);
        QCOMPARE(rejected.count(), 0);
    }();
    if (resolved.isEmpty())
        return {};
    const auto response = resolved.at(0).at(0).value<QSharedPointer<IResponse>>();
    [&] {
        QVERIFY(response);
        QCOMPARE(response->functionName, callback);
        QCOMPARE(response->type, qint32(IResponse::Resolved));
    }();
    return response ? response->toVariantMap() : QVariantMap();
}

void tst_FileSystem::infoOfPaths_data()
{
    QTest::addColumn<QString>("relative"); // under the test folder; "<missing>" for none
    QTest::addColumn<bool>("exists");
    QTest::addColumn<bool>("isDir");
    QTest::addColumn<qint64>("size");

    QTest::newRow("missing path") << "<missing>" << false << false << qint64(0);
    QTest::newRow("file") << "file.txt" << true << false << qint64(5);
    QTest::newRow("folder") << "folder" << true << true << qint64(-1);
}

void tst_FileSystem::infoOfPaths()
{
    QFETCH(QString, relative);
    QFETCH(bool, exists);
    QFETCH(bool, isDir);
    QFETCH(qint64, size);
    QVERIFY(writeTree(m_dir->path(), {{QStringLiteral("file.txt"), "12345"},
                                      {QStringLiteral("folder/x"), "x"}}));
    const QString path = relative == QLatin1String("<missing>")
        ? QStringLiteral("/nonexistent/path/of/tamberlin")
        : m_dir->filePath(relative);

    CFileSystem fs(nullptr);
    const QVariantMap result = run(fs.itemsInfo({{QStringLiteral("item"), path}}),
                                   QStringLiteral("fsItemsInfoFinish"));
    QCOMPARE(result.keys(), QStringList{QStringLiteral("item")});
    const QVariantMap info = result.value(QStringLiteral("item")).toMap();
    QCOMPARE(info.keys().size(), 6);
    QCOMPARE(info.value(QStringLiteral("file_path")).toString(), path);
    QCOMPARE(info.value(QStringLiteral("exists")).toBool(), exists);
    QCOMPARE(info.value(QStringLiteral("isDir")).toBool(), isDir);
    QCOMPARE(info.value(QStringLiteral("isReadable")).toBool(), exists);
    QCOMPARE(info.value(QStringLiteral("isWritable")).toBool(), exists);
    if (size >= 0)
        QCOMPARE(info.value(QStringLiteral("size")).toLongLong(), size);
}

void tst_FileSystem::emptyMapsAnswerEmptyMaps_data()
{
    QTest::addColumn<int>("operation");
    QTest::newRow("info") << 0;
    QTest::newRow("delete") << 1;
    QTest::newRow("copy") << 2;
    QTest::newRow("list") << 3;
}

void tst_FileSystem::emptyMapsAnswerEmptyMaps()
{
    QFETCH(int, operation);
    CFileSystem fs(nullptr);
    static const char *const names[] = {"fsItemsInfoFinish", "fsItemsDeleteFinish",
                                        "fsItemsCopyFinish", "fsItemsListDone"};
    QSharedPointer<Task::ITask> task;
    switch (operation) {
    case 0: task = fs.itemsInfo({}); break;
    case 1: task = fs.itemsDelete({}); break;
    case 2: task = fs.itemsCopy({}); break;
    default: task = fs.itemsList({}); break;
    }
    QCOMPARE(run(task, QString::fromLatin1(names[operation])), QVariantMap());
}

void tst_FileSystem::deleteFolderTree()
{
    QVERIFY(writeTree(m_dir->path(), {{QStringLiteral("tree/a.txt"), "a"},
                                      {QStringLiteral("tree/sub/deeper/b.txt"), "b"}}));
    const QString tree = m_dir->filePath(QStringLiteral("tree"));
    CFileSystem fs(nullptr);
    const QVariantMap result = run(fs.itemsDelete({{QStringLiteral("t"), tree}}),
                                   QStringLiteral("fsItemsDeleteFinish"));
    const QVariantMap entry = result.value(QStringLiteral("t")).toMap();
    QCOMPARE(entry.value(QStringLiteral("file_path")).toString(), tree);
    QCOMPARE(entry.value(QStringLiteral("existed")).toBool(), true);
    QCOMPARE(entry.value(QStringLiteral("isDir")).toBool(), true);
    QCOMPARE(entry.value(QStringLiteral("isDeleted")).toBool(), true);
    QVERIFY(!QFileInfo::exists(tree));
}

void tst_FileSystem::deleteMissingPath()
{
    const QString missing = m_dir->filePath(QStringLiteral("nothing"));
    CFileSystem fs(nullptr);
    const QVariantMap result = run(fs.itemsDelete({{QStringLiteral("m"), missing}}),
                                   QStringLiteral("fsItemsDeleteFinish"));
    const QVariantMap expected{{QStringLiteral("file_path"), missing},
                               {QStringLiteral("existed"), false}};
    QCOMPARE(result.value(QStringLiteral("m")).toMap(), expected);
}

void tst_FileSystem::deleteFile()
{
    QVERIFY(writeTree(m_dir->path(), {{QStringLiteral("f.txt"), "f"}}));
    CFileSystem fs(nullptr);
    const QVariantMap entry = run(fs.itemsDelete({{QStringLiteral("f"), m_dir->filePath("f.txt")}}),
                                  QStringLiteral("fsItemsDeleteFinish"))
                                  .value(QStringLiteral("f"))
                                  .toMap();
    QCOMPARE(entry.value(QStringLiteral("isDir")).toBool(), false);
    QCOMPARE(entry.value(QStringLiteral("isDeleted")).toBool(), true);
    QVERIFY(!QFileInfo::exists(m_dir->filePath("f.txt")));
}

void tst_FileSystem::deleteLinkToFolderKeepsTarget()
{
    QVERIFY(writeTree(m_dir->path(), {{QStringLiteral("precious/keep.txt"), "keep"}}));
    const QString link = m_dir->filePath(QStringLiteral("link"));
    QVERIFY(QFile::link(m_dir->filePath(QStringLiteral("precious")), link));
    CFileSystem fs(nullptr);
    const QVariantMap entry = run(fs.itemsDelete({{QStringLiteral("l"), link}}),
                                  QStringLiteral("fsItemsDeleteFinish"))
                                  .value(QStringLiteral("l"))
                                  .toMap();
    QCOMPARE(entry.value(QStringLiteral("isDeleted")).toBool(), true);
    QVERIFY(!QFileInfo(link).isSymLink());
    QCOMPARE(readFile(m_dir->filePath(QStringLiteral("precious/keep.txt"))), QByteArray("keep"));
}

void tst_FileSystem::listFolder()
{
    QVERIFY(writeTree(m_dir->path(), {{QStringLiteral("root/a.txt"), "aaa"},
                                      {QStringLiteral("root/.hidden"), "h"},
                                      {QStringLiteral("root/sub/inner.txt"), "i"}}));
    const QString root = m_dir->filePath(QStringLiteral("root"));
    CFileSystem fs(nullptr);
    const QVariantMap result = run(fs.itemsList({{QStringLiteral("r"), QVariantMap{{"path", root}}}}),
                                   QStringLiteral("fsItemsListDone"));
    const QVariantMap entry = result.value(QStringLiteral("r")).toMap();
    QCOMPARE(entry.value(QStringLiteral("file_path")).toString(), root);
    const QVariantList entries = entry.value(QStringLiteral("entries")).toList();
    QCOMPARE(entries.size(), 2); // hidden left out, not recursive
    QMap<QString, QVariantMap> byPath;
    for (const QVariant &e : entries)
        byPath.insert(e.toMap().value(QStringLiteral("file_path")).toString(), e.toMap());
    QCOMPARE(byPath.keys(), (QStringList{QStringLiteral("/a.txt"), QStringLiteral("/sub")}));
    QCOMPARE(byPath.value("/a.txt").value(QStringLiteral("size")).toLongLong(), qint64(3));
    QCOMPARE(byPath.value("/a.txt").value(QStringLiteral("isDir")).toBool(), false);
    QCOMPARE(byPath.value("/sub").value(QStringLiteral("isDir")).toBool(), true);
    QCOMPARE(byPath.value("/a.txt").keys().size(), 3);
}

void tst_FileSystem::listWithoutPath()
{
    CFileSystem fs(nullptr);
    const QVariantMap result = run(fs.itemsList({{QStringLiteral("r"), QVariantMap{{"dir", "/tmp"}}},
                                                 {QStringLiteral("s"), QStringLiteral("/tmp")}}),
                                   QStringLiteral("fsItemsListDone"));
    QCOMPARE(result.value(QStringLiteral("r")).toMap(), QVariantMap());
    QCOMPARE(result.value(QStringLiteral("s")).toMap(), QVariantMap());
    QCOMPARE(result.size(), 2);
}

void tst_FileSystem::listKeepsNamesThatRepeatTheRoot()
{
    // Root ".../d" holding a child "d": removing every occurrence of the root
    // text would leave nothing of the child's path.
    QVERIFY(writeTree(m_dir->path(), {{QStringLiteral("d/d/x"), "x"}}));
    const QString root = m_dir->filePath(QStringLiteral("d"));
    CFileSystem fs(nullptr);
    const QVariantMap result = run(fs.itemsList({{QStringLiteral("r"), QVariantMap{{"path", root}}}}),
                                   QStringLiteral("fsItemsListDone"));
    const QVariantList entries = result.value("r").toMap().value("entries").toList();
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.at(0).toMap().value("file_path").toString(), QStringLiteral("/d"));
}

void tst_FileSystem::listRelativeRootKeepsFullPaths()
{
    QVERIFY(writeTree(m_dir->path(), {{QStringLiteral("rel/child.txt"), "c"}}));
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    CFileSystem fs(nullptr);
    const QVariantMap result = run(fs.itemsList({{QStringLiteral("r"), QVariantMap{{"path", "rel"}}}}),
                                   QStringLiteral("fsItemsListDone"));
    QDir::setCurrent(previous);
    const QVariantList entries = result.value("r").toMap().value("entries").toList();
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.at(0).toMap().value("file_path").toString(),
             QFileInfo(m_dir->filePath(QStringLiteral("rel/child.txt"))).absoluteFilePath());
}

void tst_FileSystem::copyValidation_data()
{
    QTest::addColumn<QVariantMap>("item");
    QTest::addColumn<int>("code");

    QTest::newRow("from missing") << copyItem({}, "x.txt") << 606;
    QTest::newRow("from empty") << copyItem("", "x.txt") << 606;
    QTest::newRow("to missing") << copyItem("<src>", {}) << 606;
    QTest::newRow("to empty") << copyItem("<src>", "") << 606;
    QTest::newRow("unknown location") << copyItem("<src>", "x.txt", "remote") << 606;
    QTest::newRow("empty location") << copyItem("<src>", "x.txt", "") << 606;
    QTest::newRow("unknown type") << copyItem("<src>", "x.txt", {}, "cached") << 606;
    QTest::newRow("location as a number") << copyItem("<src>", "x.txt", 3) << 606;
    QTest::newRow("defaults: temporary, normal") << copyItem("<src>", "x.txt") << 0;
    QTest::newRow("location in upper case") << copyItem("<src>", "x.txt", "TEMPORARY") << 0;
    QTest::newRow("local in mixed case") << copyItem("<src>", "x.txt", "Local") << 0;
    QTest::newRow("type in upper case") << copyItem("<src>", "x.txt", {}, "NORMAL") << 0;
    QTest::newRow("type temporary in upper case")
        << copyItem("<src>", "x.txt", {}, "TEMPORARY") << 0;
    QTest::newRow("missing source") << copyItem("<missing>", "x.txt") << 605;
}

void tst_FileSystem::copyValidation()
{
    QFETCH(QVariantMap, item);
    QFETCH(int, code);
    QVERIFY(writeTree(m_dir->path(), {{QStringLiteral("src.txt"), "source"}}));
    if (item.value("from") == "<src>")
        item.insert("from", m_dir->filePath("src.txt"));
    if (item.value("from") == "<missing>")
        item.insert("from", m_dir->filePath("missing.txt"));
    if (item.contains("to") && !item.value("to").toString().isEmpty())
        item.insert("to", QFileInfo(m_dir->path()).fileName() + "-" + item.value("to").toString());

    CFileSystem fs(nullptr);
    const QVariantMap result = run(fs.itemsCopy({{QStringLiteral("c"), item}}),
                                   QStringLiteral("fsItemsCopyFinish"));
    const QVariantMap entry = result.value(QStringLiteral("c")).toMap();
    QCOMPARE(entry.value(QStringLiteral("code")).toInt(), code);
    if (code != 0) {
        QCOMPARE(entry.keys(), QStringList{QStringLiteral("code")});
    } else {
        const QString path = entry.value(QStringLiteral("filepath")).toString();
        QCOMPARE(readFile(path), QByteArray("source"));
        QFile::remove(path);
    }
}

void tst_FileSystem::copyLocalFile_data()
{
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("to");
    QTest::newRow("temporary, plain name") << "temporary" << "copied.txt";
    QTest::newRow("temporary, two levels of subfolders") << "temporary" << "one/two/copied.txt";
    QTest::newRow("local, plain name") << "local" << "copied.txt";
    QTest::newRow("local, subfolders") << "local" << "lessons/1/copied.txt";
}

void tst_FileSystem::copyLocalFile()
{
    QFETCH(QString, location);
    QFETCH(QString, to);
    const QByteArray content(2 * 1048576 + 17, 'q'); // crosses chunk edges
    QVERIFY(writeTree(m_dir->path(), {{QStringLiteral("src.bin"), content}}));
    const QString unique = QFileInfo(m_dir->path()).fileName();
    const QString target = unique + QLatin1Char('/') + to;
    const QString folder = location == QLatin1String("local")
        ? PathsManager::instance()->get(Constants::PathManager::contentsPath)
        : QDir::tempPath();
    const QString expected = QDir::cleanPath(folder + QLatin1Char('/') + target);

    CFileSystem fs(nullptr);
    const QVariantMap entry =
        run(fs.itemsCopy({{QStringLiteral("c"), copyItem(m_dir->filePath("src.bin"), target, location)}}),
            QStringLiteral("fsItemsCopyFinish"))
            .value(QStringLiteral("c"))
            .toMap();
    QCOMPARE(entry.value(QStringLiteral("code")).toInt(), 0);
    QCOMPARE(entry.value(QStringLiteral("filepath")).toString(), expected);
    QCOMPARE(entry.value(QStringLiteral("filename")).toString(), QFileInfo(expected).fileName());
    QCOMPARE(entry.value(QStringLiteral("filedir")).toString(), QFileInfo(expected).absolutePath());
    QCOMPARE(entry.value(QStringLiteral("size")).toLongLong(), qint64(content.size()));
    QCOMPARE(readFile(expected), content);
    QDir(QDir::cleanPath(folder + QLatin1Char('/') + unique)).removeRecursively();
}

void tst_FileSystem::copyArchiveEntry_data()
{
    QTest::addColumn<bool>("kelcab");
    QTest::addColumn<QString>("from");
    QTest::newRow("kelcab archive") << true << "/webapp/media/clip.bin";
    QTest::newRow("kelcab archive, other letter case") << true << "/webapp/MEDIA/Clip.bin";
    QTest::newRow("zip archive") << false << "/webapp/media/clip.bin";
    QTest::newRow("zip archive, dot segments") << false << "/webapp/other/../media/clip.bin";
}

void tst_FileSystem::copyArchiveEntry()
{
    QFETCH(bool, kelcab);
    QFETCH(QString, from);
    const QByteArray clip(1048576 + 5, 'v');
    QScopedPointer<ArchiveAccessManager> archive;
    if (kelcab) {
        QVERIFY(writeTree(m_dir->filePath("tree/webapp"), {{QStringLiteral("media/clip.bin"), clip}}));
        QVERIFY(writeKelcab(m_dir->filePath("tree/webapp"), m_dir->filePath("data.bin")));
        archive.reset(new KelCabArchiveManager(m_dir->filePath("data.bin")));
    } else {
        QVERIFY(writeZip(m_dir->filePath("data.zip"), {{QStringLiteral("webapp/media/clip.bin"), clip}}));
        archive.reset(new ZipArchiveAccessManager(m_dir->filePath("data.zip")));
    }
    CFileSystem fs(archive.data());
    const QString unique = QFileInfo(m_dir->path()).fileName();
    const QVariantMap result = run(
        fs.itemsCopy({{QStringLiteral("tmp"), copyItem(from, unique + "/clip.bin", "temporary", "temporary")},
                      {QStringLiteral("loc"), copyItem(from, unique + "/clip.bin", "local")}}),
        QStringLiteral("fsItemsCopyFinish"));
    for (const QString &key : {QStringLiteral("tmp"), QStringLiteral("loc")}) {
        const QVariantMap entry = result.value(key).toMap();
        QCOMPARE(entry.value(QStringLiteral("code")).toInt(), 0);
        QCOMPARE(readFile(entry.value(QStringLiteral("filepath")).toString()), clip);
    }
    QDir(PathsManager::instance()->get(Constants::PathManager::contentsPath) + "/" + unique)
        .removeRecursively();
}

void tst_FileSystem::copyMissingArchiveEntryIsNotReadFromDisk()
{
    FakeArchive archive({{QStringLiteral("webapp/present.txt"), "p"}});
    CFileSystem fs(&archive);
    const QVariantMap entry =
        run(fs.itemsCopy({{QStringLiteral("c"), copyItem("/webapp/absent.txt", "absent.txt")},
                          {QStringLiteral("up"), copyItem("/webapp/../../etc/hostname", "h.txt")}}),
            QStringLiteral("fsItemsCopyFinish"));
    QCOMPARE(entry.value("c").toMap().value("code").toInt(), 605);
    QCOMPARE(entry.value("up").toMap().value("code").toInt(), 605);
    QVERIFY(!QFileInfo::exists(tempPath("absent.txt")));
    // Only paths inside the tree were looked up.
    QCOMPARE(archive.asked(), QStringList{QStringLiteral("webapp/absent.txt")});
}

void tst_FileSystem::copyTemporaryTwiceReplacesFirst()
{
    QVERIFY(writeTree(m_dir->path(), {{QStringLiteral("src.txt"), "one"}}));
    const QString src = m_dir->filePath("src.txt");
    const QString unique = QFileInfo(m_dir->path()).fileName();
    CFileSystem fs(nullptr);
    const QString first = run(fs.itemsCopy({{"c", copyItem(src, unique + "-1.txt", {}, "temporary")}}),
                              "fsItemsCopyFinish")
                              .value("c").toMap().value("filepath").toString();
    QCOMPARE(readFile(first), QByteArray("one"));
    QVERIFY(writeTree(m_dir->path(), {{QStringLiteral("src.txt"), "two"}}));
    // The page always copies (force): the second copy is made, and the first
    // file goes when it leaves the cache.
    const QString second = run(fs.itemsCopy({{"c", copyItem(src, unique + "-2.txt", {}, "temporary")}}),
                               "fsItemsCopyFinish")
                               .value("c").toMap().value("filepath").toString();
    QCOMPARE(readFile(second), QByteArray("two"));
    QVERIFY(!QFileInfo::exists(first));
}

void tst_FileSystem::copyTemporaryTwiceToSameName()
{
    QVERIFY(writeTree(m_dir->path(), {{QStringLiteral("src.txt"), "same"}}));
    const QString src = m_dir->filePath("src.txt");
    const QString name = QFileInfo(m_dir->path()).fileName() + "-same.txt";
    CFileSystem fs(nullptr);
    for (int i = 0; i < 2; ++i) {
        const QVariantMap entry = run(fs.itemsCopy({{"c", copyItem(src, name, {}, "temporary")}}),
                                      "fsItemsCopyFinish").value("c").toMap();
        QCOMPARE(entry.value("code").toInt(), 0);
        // Replacing the old copy must not remove the new file of that name.
        QCOMPARE(readFile(entry.value("filepath").toString()), QByteArray("same"));
    }
}

void tst_FileSystem::copyCapitalisedTemporaryIsCachedButKept()
{
    QVERIFY(writeTree(m_dir->path(), {{QStringLiteral("src.txt"), "cap"}}));
    const QString src = m_dir->filePath("src.txt");
    const QString unique = QFileInfo(m_dir->path()).fileName();
    QString first;
    {
        CFileSystem fs(nullptr);
        first = run(fs.itemsCopy({{"c", copyItem(src, unique + "-cap.txt", {}, "Temporary")}}),
                    "fsItemsCopyFinish").value("c").toMap().value("filepath").toString();
        QVERIFY(QFileInfo::exists(first));
        // Cached: the handler's reuse finds it.
        QVariantMap out;
        QCOMPARE(fs.copy(src, src, unique + "-other.txt", "temporary", "temporary", out, false),
                 int(CFileSystem::Ok));
        QCOMPARE(out.value("filepath").toString(), first);
    }
    // Made as a plain file: it survives the cache.
    QVERIFY(QFileInfo::exists(first));
    QFile::remove(first);
}

void tst_FileSystem::copyMissingSourceKeepsExistingTarget()
{
    const QString name = QFileInfo(m_dir->path()).fileName() + "-kept.txt";
    QVERIFY(writeTree(QDir::tempPath(), {{name, "precious"}}));
    CFileSystem fs(nullptr);
    const QVariantMap entry = run(fs.itemsCopy({{"c", copyItem(m_dir->filePath("none"), name)}}),
                                  "fsItemsCopyFinish").value("c").toMap();
    QCOMPARE(entry.value("code").toInt(), 605);
    QCOMPARE(readFile(tempPath(name)), QByteArray("precious"));
    QFile::remove(tempPath(name));
}

void tst_FileSystem::copyOntoItselfIsRefused()
{
    const QString name = QFileInfo(m_dir->path()).fileName() + "-self.txt";
    QVERIFY(writeTree(QDir::tempPath(), {{name, "myself"}}));
    CFileSystem fs(nullptr);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("refused to copy .* onto itself"));
    const QVariantMap entry = run(fs.itemsCopy({{"c", copyItem(tempPath(name), name)}}),
                                  "fsItemsCopyFinish").value("c").toMap();
    QCOMPARE(entry.value("code").toInt(), 606);
    QCOMPARE(readFile(tempPath(name)), QByteArray("myself"));
    QFile::remove(tempPath(name));
}

void tst_FileSystem::copyWriteFailureIs605()
{
    if (!QFileInfo::exists(QStringLiteral("/dev/full")))
        QSKIP("needs /dev/full");
    QVERIFY(writeTree(m_dir->path(), {{QStringLiteral("src.bin"), QByteArray(100000, 'w')}}));
    // "to" climbs from the temporary folder to the device that refuses writes.
    const QString to = QDir(QDir::tempPath()).relativeFilePath(QStringLiteral("/dev/full"));
    CFileSystem fs(nullptr);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("copy of .* to /dev/full failed"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("copy of .* to /dev/full failed"));
    const QVariantMap result = run(
        fs.itemsCopy({{"normal", copyItem(m_dir->filePath("src.bin"), to)},
                      {"temp", copyItem(m_dir->filePath("src.bin"), to, {}, "temporary")}}),
        "fsItemsCopyFinish");
    QCOMPARE(result.value("normal").toMap().value("code").toInt(), 605);
    QCOMPARE(result.value("temp").toMap().value("code").toInt(), 605);
    QCOMPARE(result.value("temp").toMap().keys(), QStringList{QStringLiteral("code")});
    // Nothing removed the device.
    QVERIFY(QFileInfo::exists(QStringLiteral("/dev/full")));
    QVERIFY(!QFileInfo(QStringLiteral("/dev/full")).isFile());
}

void tst_FileSystem::routineReusesTemporaryCopy()
{
    FakeArchive archive({{QStringLiteral("webapp/media/a.mp4"), "first"}});
    CFileSystem fs(&archive);
    QVariantMap one, two;
    QCOMPARE(fs.copy("/webapp/media/a.mp4", "/webapp/media/a.mp4", "one.mp4", "temporary",
                     "temporary", one, false, CFileSystem::Source::Archive),
             int(CFileSystem::Ok));
    QCOMPARE(fs.copy("/webapp/media/a.mp4", "/webapp/media/a.mp4", "two.mp4", "temporary",
                     "temporary", two, false, CFileSystem::Source::Archive),
             int(CFileSystem::Ok));
    QCOMPARE(two, one);
    QCOMPARE(one.value("filepath").toString(), tempPath("one.mp4"));
    QVERIFY(!QFileInfo::exists(tempPath("two.mp4")));
    QCOMPARE(readFile(tempPath("one.mp4")), QByteArray("first"));
}

void tst_FileSystem::routineRecopiesDeletedCachedFile()
{
    FakeArchive archive({{QStringLiteral("webapp/a.ogg"), "ogg"}});
    CFileSystem fs(&archive);
    QVariantMap one, two;
    QCOMPARE(fs.copy("/webapp/a.ogg", "/webapp/a.ogg", "r1.ogg", "temporary", "temporary", one,
                     false),
             int(CFileSystem::Ok));
    QVERIFY(QFile::remove(one.value("filepath").toString()));
    QCOMPARE(fs.copy("/webapp/a.ogg", "/webapp/a.ogg", "r2.ogg", "temporary", "temporary", two,
                     false),
             int(CFileSystem::Ok));
    QCOMPARE(readFile(two.value("filepath").toString()), QByteArray("ogg"));
}

void tst_FileSystem::routineSerialisesOneKey()
{
    FakeArchive archive({{QStringLiteral("webapp/big.mp4"), QByteArray(3 * 1048576, 'z')}});
    CFileSystem fs(&archive);
    QThreadPool pool;
    pool.setMaxThreadCount(8);
    QList<QFuture<QString>> futures;
    for (int i = 0; i < 8; ++i) {
        futures.append(QtConcurrent::run(&pool, [&fs, i] {
            QVariantMap out;
            const int code = fs.copy("/webapp/big.mp4", "/webapp/big.mp4",
                                     QStringLiteral("par-%1.mp4").arg(i), "temporary",
                                     "temporary", out, false, CFileSystem::Source::Archive);
            return code == 0 ? out.value("filepath").toString() : QString();
        }));
    }
    QList<QString> paths;
    for (QFuture<QString> &f : futures)
        paths.append(f.result());
    // Every request got the one copy that the first of them made.
    QCOMPARE(QSet<QString>(paths.cbegin(), paths.cend()).size(), 1);
    QVERIFY(!paths.first().isEmpty());
    QCOMPARE(QFileInfo(paths.first()).size(), qint64(3 * 1048576));
    QCOMPARE(archive.asked().size(), 1);
}

void tst_FileSystem::cacheDiesWithPlugin()
{
    FakeArchive archive({{QStringLiteral("webapp/a.mp3"), "mp3"}});
    QVariantMap out;
    {
        CFileSystem fs(&archive);
        QCOMPARE(fs.copy("/webapp/a.mp3", "/webapp/a.mp3", "dies.mp3", "temporary", "temporary",
                         out, false),
                 int(CFileSystem::Ok));
        QVERIFY(QFileInfo::exists(out.value("filepath").toString()));
    }
    QVERIFY(!QFileInfo::exists(out.value("filepath").toString()));
}

void tst_FileSystem::contentsRootPath()
{
    using namespace Constants::PathManager;
    CFileSystem fs(nullptr);
    const QVariantMap result = run(fs.contentsRootPath(), "fsContentsRootPathFinish");
    const PathsManager *paths = PathsManager::instance();
    const QVariantMap expected{
        {"home_path", paths->get(homePath)},
        {"download_path", paths->get(downloadPath)},
        {"contents_root_path", paths->get(contentsPath)},
        {"wrapper_access_path", paths->get(wrapperAccessPath)},
        {"documents_path", paths->get(documentsPath)},
    };
    QCOMPARE(result, expected);
    QCOMPARE(result.value("wrapper_access_path").toString(), QStringLiteral("/webapp/"));
}

void tst_FileSystem::chunkedCopy_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << 0;
    QTest::newRow("one byte") << 1;
    QTest::newRow("one chunk exactly") << int(ChunkedCopy::kChunkSize);
    QTest::newRow("chunk plus one byte") << int(ChunkedCopy::kChunkSize) + 1;
    QTest::newRow("three chunks, odd") << 3 * int(ChunkedCopy::kChunkSize) + 17;
}

void tst_FileSystem::chunkedCopy()
{
    QFETCH(int, size);
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char(i * 7);
    QBuffer in(&data);
    QVERIFY(in.open(QIODevice::ReadOnly));
    QByteArray outData;
    QBuffer out(&outData);
    QVERIFY(out.open(QIODevice::WriteOnly));
    QCOMPARE(ChunkedCopy::copy(&in, &out), qint64(size));
    QCOMPARE(outData, data);
}

void tst_FileSystem::chunkedCopyShortWriteThrows()
{
    QByteArray data(ChunkedCopy::kChunkSize + 10, 's');
    QBuffer in(&data);
    QVERIFY(in.open(QIODevice::ReadOnly));
    LimitedDevice out(100);
    try {
        ChunkedCopy::copy(&in, &out);
        QFAIL("a refused write did not throw");
    } catch (const ArchiveException &e) {
        QCOMPARE(e.code, -100);
        QCOMPARE(e.message, QStringLiteral("QFS cannot write into target device"));
    }
}

void tst_FileSystem::chunkedCopyFailedReadThrows()
{
    BrokenSource in;
    QByteArray outData;
    QBuffer out(&outData);
    QVERIFY(out.open(QIODevice::WriteOnly));
    try {
        ChunkedCopy::copy(&in, &out);
        QFAIL("a failed read did not throw");
    } catch (const ArchiveException &e) {
        QCOMPARE(e.code, -101);
        QVERIFY(e.message.contains(QLatin1String("damaged page")));
    }
}

void tst_FileSystem::autoRemoveFileSparesWhatItDidNotWrite()
{
    const QString path = m_dir->filePath(QStringLiteral("existing.txt"));
    QVERIFY(writeTree(m_dir->path(), {{QStringLiteral("existing.txt"), "e"}}));
    {
        AutoRemoveFile reader(path);
        QVERIFY(reader.open(QIODevice::ReadOnly));
    }
    QVERIFY(QFileInfo::exists(path));
    {
        AutoRemoveFile writer(path);
        QVERIFY(writer.open(QIODevice::WriteOnly));
    }
    QVERIFY(!QFileInfo::exists(path));
}

QTEST_GUILESS_MAIN(tst_FileSystem)
#include "tst_filesystem.moc"
