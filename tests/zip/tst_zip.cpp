// The zip plugins beyond the zip course: interoperability, disk effects, hostile names.

#include "bridge/jsinterface.h"
#include "tests/support/smallvolume.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

#include <sys/stat.h>

namespace {

struct Entry
{
    QString name;
    QByteArray data;
    quint32 mode = 0; // Unix mode of the entry; a link's data is its target
};
using Entries = QList<Entry>;

bool makeZip(const QString &path, const Entries &entries, int repeat = 1)
{
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    for (const Entry &e : entries) {
        QuaZipNewInfo info(e.name);
        info.externalAttr = e.mode << 16;
        QuaZipFile file(&zip);
        if (!file.open(QIODevice::WriteOnly, info))
            return false;
        for (int i = 0; i < repeat; ++i)
            file.write(e.data);
    }
    zip.close();
    return zip.getZipError() == 0;
}

// Entry name -> content.
QVariantMap contents(const QString &zipPath)
{
    QVariantMap out;
    QuaZip zip(zipPath);
    zip.setFileNameCodec("UTF-8");
    zip.open(QuaZip::mdUnzip);
    for (bool more = zip.isOpen() && zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        QuaZipFile f(&zip);
        f.open(QIODevice::ReadOnly);
        out.insert(zip.getCurrentFileName(), f.readAll());
    }
    return out;
}

bool writeFile(const QString &path, const QByteArray &data = {})
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

int run(const QString &program, const QStringList &args, const QString &dir = {})
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(program, args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// Relative path -> content digest ("dir", or a link's target) under dir.
QMap<QString, QByteArray> snapshot(const QString &folder)
{
    QMap<QString, QByteArray> out;
    const QString dir = QDir(folder).absolutePath();
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        QFile f(info.filePath());
        out.insert(QDir(dir).relativeFilePath(info.filePath()),
                   info.isSymLink() ? info.symLinkTarget().toUtf8()
                   : info.isDir()   ? QByteArray("dir")
                   : f.open(QIODevice::ReadOnly)
                       ? QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1).toHex()
                       : QByteArray("unreadable"));
    }
    return out;
}

// Nested and empty files, an empty folder, and a file deflated in several blocks.
void makeTree(const QString &root)
{
    QDir(root).mkpath("folder/deeper");
    QDir(root).mkpath("emptydir");
    QByteArray big;
    for (quint32 i = 0; i < 300000; ++i)
        big.append(char((i * 2654435761u) >> 24));
    const QList<QPair<QString, QByteArray>> files{
        {"top.txt", "top level\n"}, {"folder/deeper/nested.txt", QByteArray("n ").repeated(999)},
        {"folder/empty.txt", {}}, {"big.bin", big}};
    for (const auto &file : files)
        QVERIFY(writeFile(root + '/' + file.first, file.second));
}

// "zip": Info-ZIP with an archive comment; "python": zipfile, with an entry
// comment on top.txt. Debian's python3: a PATH may put another one first.
bool produce(const QString &producer, const QString &root, const QString &zipPath)
{
    if (producer == "zip")
        return run("sh", {"-c", "zip -q -r \"$0\" . && echo note | zip -q -z \"$0\"", zipPath},
                   root) == 0;
    const QString script = "import os, sys, zipfile\n"
                           "root, out = sys.argv[1], sys.argv[2]\n"
                           "with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:\n"
                           "    for d, dirs, files in sorted(os.walk(root)):\n"
                           "        rel = os.path.relpath(d, root)\n"
                           "        if rel != '.': z.write(d, rel + '/')\n"
                           "        for f in files:\n"
                           "            name = os.path.normpath(os.path.join(rel, f))\n"
                           "            z.write(os.path.join(d, f), name)\n"
                           "            if name == 'top.txt': z.getinfo(name).comment = b'note'\n";
    return run(QFile::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3",
               {"-c", script, root, zipPath}) == 0;
}

QVariantMap item(const QString &type, const QString &path, const QVariant &data)
{
    return {{"type", type}, {"path", path}, {"data", data}};
}

QVariantMap codes(const QList<QPair<QString, int>> &list)
{
    QVariantMap m;
    for (const auto &p : list)
        m.insert(p.first, QVariantMap{{"code", p.second}});
    return m;
}

qint64 peakKb()
{
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
    const QByteArray text = status.readAll();
    const int at = text.indexOf("VmHWM:");
    return text.mid(at + 6, text.indexOf("kB", at) - at - 6).trimmed().toLongLong();
}

struct Call
{
    QString name;
    QVariantMap data;
};

const QStringList kUnzipEnds{"archiveUnzipFinish", "archiveUnzipError", "archiveUnzipAbort"};

} // namespace

Q_DECLARE_METATYPE(Entries)

class tst_Zip : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { ShellTest::SmallVolume::privateMounts(); }
    void init();
    void cleanup();
    void addFiles_data();
    void addFiles();
    void readListExtract();
    void interoperability_data();
    void interoperability();
    void traversal_data();
    void traversal();
    void archiveUnzip_data();
    void archiveUnzip();
    void unzipIntoUsedTarget();
    void boundedMemory();
    void fullVolumeKeepsOldFiles();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    // Every callback of a call under a fresh uuid, once it has ended and settled.
    QList<Call> ask(const std::function<void(const QString &uuid)> &call);
    Call last(const std::function<void(const QString &uuid)> &c) { return ask(c).last(); }
    QList<Call> unzip(const QString &zip, const QString &target)
    {
        return ask([&](const QString &u) { m_js->archiveUnzip(u, zip, target); });
    }
    QList<Call> callsFor(const QString &uuid) const;
    static void settle();

    QScopedPointer<QTemporaryDir> m_dir;
    QScopedPointer<JSInterface> m_js;
    QScopedPointer<QSignalSpy> m_spy;
    int m_calls = 0;
};

void tst_Zip::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    // Relative paths are the process's current folder's.
    QVERIFY(QDir::setCurrent(m_dir->path()));
    m_calls = 0;
    m_js.reset(new JSInterface(nullptr));
    m_spy.reset(new QSignalSpy(m_js.data(), &JSInterface::invokeJSCall));
}

void tst_Zip::cleanup()
{
    settle();
    m_spy.reset();
    m_js.reset();
}

void tst_Zip::settle()
{
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

QList<Call> tst_Zip::callsFor(const QString &uuid) const
{
    QList<Call> out;
    for (const QList<QVariant> &args : *m_spy) {
        if (args.at(1).toMap().value("uuid") == uuid)
            out.append({args.at(0).toString(), args.at(1).toMap()});
    }
    return out;
}

QList<Call> tst_Zip::ask(const std::function<void(const QString &uuid)> &call)
{
    const QString uuid = QString::number(++m_calls);
    call(uuid);
    const auto ended = [&] {
        const QList<Call> calls = callsFor(uuid);
        return !calls.isEmpty()
            && (calls.last().name.startsWith("zip") || kUnzipEnds.contains(calls.last().name));
    };
    if (!QTest::qWaitFor(ended, 60000))
        return {{"timeout", {}}};
    settle();
    return callsFor(uuid);
}

void tst_Zip::addFiles_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QVariantMap>("files");
    QTest::addColumn<QVariantMap>("payload"); // without uuid
    QTest::addColumn<QVariantMap>("after");   // entry -> content

    QTest::newRow("create replaces the archive")
        << "CREATE" << QVariantMap{{"a", item("raw", "ü/a.txt", "grüß")}} << codes({{"a", 0}})
        << QVariantMap{{"ü/a.txt", QString("grüß").toUtf8()}};
    QTest::newRow("invalid items")
        << "create"
        << QVariantMap{{"noData", QVariantMap{{"path", "a"}}}, {"emptyPath", item("raw", "", "x")},
                       {"badType", item("zip", "a", "x")}, {"notAMap", "a.txt"}}
        << codes({{"noData", -102}, {"emptyPath", -102}, {"badType", -102}, {"notAMap", -102}})
        << QVariantMap();
    QTest::newRow("path items appended: a missing file is -104 and writes nothing")
        << "Add"
        << QVariantMap{{"missing", item("path", "m.txt", "none")},
                       {"file", item("path", "dir/src.txt", "src.txt")}}
        << codes({{"missing", -104}, {"file", 0}})
        << QVariantMap{{"old.txt", QByteArray("old")}, {"dir/src.txt", QByteArray("source")}};
}

void tst_Zip::addFiles()
{
    QFETCH(QString, mode);
    QFETCH(QVariantMap, files);
    QFETCH(QVariantMap, payload);
    QFETCH(QVariantMap, after);
    QVERIFY(makeZip("add.zip", {{"old.txt", "old"}}));
    QVERIFY(writeFile("src.txt", "source"));

    const Call out = last([&](const QString &u) { m_js->zipAddFiles(u, "add.zip", mode, files); });
    QCOMPARE(out.name, QStringLiteral("zipAddFilesDone"));
    payload.insert("uuid", out.data.value("uuid"));
    QCOMPARE(out.data, payload);
    QCOMPARE(contents("add.zip"), after);
}

// What only shows on disk, and a missing folder; the plain calls are the courses'.
void tst_Zip::readListExtract()
{
    // Text whole (its byte order mark too); NULs and bytes that are not UTF-8 as Base64.
    const QByteArray binary("\x00\xff\xfeGIF\x00\xc3", 8);
    QVERIFY(makeZip("r.zip", {{"a.txt", "\xef\xbb\xbf" "alpha \xc3\xa9"}, {"empty.txt", {}}, {"b.bin", binary}}));
    // 37 MiB of NULs: its Base64 is over what one answer may take, an error of its own.
    QVERIFY(makeZip("huge.zip", {{"huge.bin", QByteArray(1 << 20, 0)}}, 37));
    QVERIFY(writeFile("blocker") && mkfifo("fifo", 0600) == 0);
    const auto entry = [](int code, const QString &data) {
        return QVariantMap{{"code", code}, {"data", data}};
    };
    QVariantMap bin = entry(0, "AP/+R0lGAMM=");
    bin.insert("base64", true);
    const Call read = last([&](const QString &u) {
        m_js->zipReadFiles(u, "r.zip", {{"t", "a.txt"}, {"e", "empty.txt"}, {"b", "b.bin"}, {"blank", ""}});
    });
    QCOMPARE(read.data, (QVariantMap{{"t", entry(0, QChar(0xFEFF) + QString("alpha é"))}, {"e", entry(0, "")}, {"b", bin},
                                     {"blank", entry(-100, "")}, {"uuid", read.data.value("uuid")}}));
    QCOMPARE(QByteArray::fromBase64("AP/+R0lGAMM="), binary);
    QCOMPARE(last([&](const QString &u) { m_js->zipReadFiles(u, "huge.zip", {{"h", "huge.bin"}}); })
                 .data.value("h"), QVariant(entry(610, "")));

    const QString target = path("new/chain/a.txt");
    auto job = [](const QString &source, const QString &target) {
        return QVariantMap{{"source", source}, {"target", target}};
    };
    const QVariantMap ex = last([&](const QString &u) {
        m_js->zipExtractFiles(u, "r.zip", {{"a", job("a.txt", target)}, {"blocked", job("a.txt", "blocker/a.txt")},
                                          {"fifo", job("a.txt", "fifo")}});
    }).data;
    QCOMPARE(ex.value("blocked"), QVariant(QVariantMap{{"code", -1000}}));
    // A device (here a FIFO) is never replaced by a file.
    QVERIFY(ex.value("fifo") == QVariant(QVariantMap{{"code", -1000}}) && !QFileInfo("fifo").isFile());
    // rwx for the owner, r-x for the rest: never group- or world-writable.
    QCOMPARE(QFileInfo(target).permissions() & 0x0777, QFile::Permissions(0x0755));
    // Written under a temporary name and renamed: nothing else is left.
    QCOMPARE(QDir(path("new/chain")).entryList(QDir::Files | QDir::Hidden), QStringList{"a.txt"});

    QCOMPARE(last([&](const QString &u) { m_js->zipCompressDirectory(u, "c.zip", "no-such-dir"); }).name,
             QStringLiteral("zipCompressDirectoryFail"));
}

// Info-ZIP's and Python's archives read by us; ours (both ways) read by Info-ZIP.
void tst_Zip::interoperability_data()
{
    QTest::addColumn<QString>("producer");
    QTest::newRow("Info-ZIP zip") << "zip";
    QTest::newRow("python zipfile") << "python";
    QTest::newRow("our zipAddFiles") << "add";
    QTest::newRow("our zipCompressDirectory") << "compress";
}

void tst_Zip::interoperability()
{
    QFETCH(QString, producer);
    makeTree("src");
    QMap<QString, QByteArray> expected = snapshot("src");
    if (producer == "add") {
        const Call add = last([&](const QString &u) {
            m_js->zipAddFiles(u, "a.zip", "create",
                              {{"raw", item("raw", "top.txt", QByteArray("top level\n"))},
                               {"big", item("path", "big.bin", "src/big.bin")},
                               {"n", item("path", "folder/deeper/nested.txt", "src/folder/deeper/nested.txt")},
                               {"empty", item("path", "folder/empty.txt", "src/folder/empty.txt")}});
        });
        QCOMPARE(add.name, QStringLiteral("zipAddFilesDone"));
        expected.remove("emptydir"); // no folder entries of its own
    } else if (producer == "compress") {
        // An archive inside the folder it packs holds no copy of itself, nor of
        // the archive it replaces.
        for (const char *archive : {"a.zip", "src/self.zip", "src/self.zip"}) {
            QCOMPARE(last([&](const QString &u) { m_js->zipCompressDirectory(u, archive, "src"); }).name,
                     QStringLiteral("zipCompressDirectoryDone"));
        }
        QCOMPARE(contents("src/self.zip"), contents("a.zip"));
        QFile::remove("src/self.zip");
    } else {
        QVERIFY(produce(producer, path("src"), path("a.zip")));
    }
    QCOMPARE(run("unzip", {"-tq", "a.zip"}), 0);
    QCOMPARE(run("unzip", {"-q", "a.zip", "-d", "info"}), 0);
    QCOMPARE(snapshot("info"), expected);

    QVariantMap extracts;
    const Call list = last([&](const QString &u) { m_js->zipListContents(u, "a.zip"); });
    for (const QVariant &v : list.data.value("data").toList()) {
        const QVariantMap e = v.toMap();
        const QString name = e.value("zipPath").toString();
        if (e.value("isDir").toBool())
            continue;
        QCOMPARE(e.value("uncompressedSize").toLongLong(), QFileInfo("src/" + name).size());
        if (producer == "python" && name == "top.txt")
            QCOMPARE(e.value("comment").toString(), QStringLiteral("note"));
        extracts.insert(name, QVariantMap{{"source", name}, {"target", "out/" + name}});
    }
    QCOMPARE(extracts.size(), 4);
    last([&](const QString &u) { m_js->zipExtractFiles(u, "a.zip", extracts); });
    QCOMPARE(unzip("a.zip", "unzipped").last().name, QStringLiteral("archiveUnzipFinish"));
    QCOMPARE(snapshot("unzipped"), expected);
    expected.remove("emptydir"); // extractFiles writes files only
    QCOMPARE(snapshot("out"), expected);
}

// Names that would leave the target. "%1": the target's own name, "%2": its parent.
void tst_Zip::traversal_data()
{
    QTest::addColumn<Entries>("rowEntries");
    const QByteArray x("escaped");
    QTest::newRow("dot-dot") << Entries{{"ok.txt", "fine"}, {"../evil.txt", x}};
    QTest::newRow("climbs after a folder") << Entries{{"a/../../evil.txt", x}};
    QTest::newRow("absolute") << Entries{{"%2/evil.txt", x}};
    QTest::newRow("backslash dot-dot") << Entries{{"..\\evil.txt", x}};
    QTest::newRow("drive letter") << Entries{{"C:\\evil.txt", x}};
    QTest::newRow("sibling with the same prefix") << Entries{{"../%1-evil/evil.txt", x}};
    QTest::newRow("link, then a file through it") << Entries{{"link", "../", 0120777}, {"link/evil.txt", x}};
}

void tst_Zip::traversal()
{
    QFETCH(Entries, rowEntries);
    const QString target = path("parent/out");
    QVERIFY(QDir().mkpath(target + "/keep"));
    QVariantMap items;
    for (Entry &e : rowEntries) {
        e.name.replace("%1", "out").replace("%2", path("parent"));
        items.insert(e.name, QVariantMap{{"source", e.name}, {"target", target + '/' + e.name}});
    }
    QVERIFY(makeZip("hostile.zip", rowEntries));
    auto before = snapshot(m_dir->path());
    // The link row gets past the names; its tree fails where the folder meets the file.
    const bool link = rowEntries.first().mode != 0;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(link ? "^cannot make folder " : "^refused entry "));

    const Call unzipped = unzip("hostile.zip", target).last();
    QCOMPARE(unzipped.name, QStringLiteral("archiveUnzipError"));
    QCOMPARE(unzipped.data.value("code"), QVariant(3));
    QCOMPARE(snapshot(m_dir->path()), before);

    const Call ex = last([&](const QString &u) { m_js->zipExtractFiles(u, "hostile.zip", items); });
    QVERIFY(ex.data.value(rowEntries.last().name).toMap().value("code").toInt() != 0);
    auto after = snapshot(m_dir->path());
    for (auto *map : {&after, &before}) {
        for (const QString &key : map->keys()) {
            if (key.startsWith("parent/out/"))
                map->remove(key);
        }
    }
    QCOMPARE(after, before);
}

void tst_Zip::archiveUnzip_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QList<int>>("expected"); // progress reported before the end
    QTest::addColumn<int>("code");            // of the error; 0: it finishes
    QTest::addColumn<QString>("warning");     // logged, as a pattern
    // Large enough for a second inflating thread: reports still in order.
    QTest::newRow("120 entries on two threads") << "many" << QList<int>{0, 1, 51, 101, 120} << 0 << "";
    QTest::newRow("empty zip") << "empty" << QList<int>{0, 0} << 0 << "";
    QTest::newRow("umask and entry modes") << "umask" << QList<int>{0, 1, 3} << 0 << "";
    // A missing zip (code 1): the zip course. A failed or aborted call leaves the target as it was.
    QTest::newRow("not a zip") << "text" << QList<int>{} << 2 << "";
    QTest::newRow("damaged entry after a good one") << "damaged" << QList<int>{0, 1} << 2 << "^damaged entry a.txt";
    QTest::newRow("aborted part-way") << "abort" << QList<int>{0, 1} << 4 << "";
    QTest::newRow("a folder of the zip where a file lies") << "conflict" << QList<int>{0, 1} << 3 << "^a file is in the way";
    QTest::newRow("NUL in an entry name") << "nul" << QList<int>{} << 3 << "^refused entry a\\\\0b.txt";
    QTest::newRow("zip in a sub-folder of the target") << "inside" << QList<int>{} << 3 << "^refused: out/old/f.zip";
    QTest::newRow("target under a file") << "blocked" << QList<int>{} << 3 << "^cannot stage into";
}

void tst_Zip::archiveUnzip()
{
    QFETCH(QString, setup);
    QFETCH(QList<int>, expected);
    QFETCH(int, code);
    QFETCH(QString, warning);
    QVERIFY(QDir().mkpath("out/old") && writeFile("out/old/keep.txt", "keep") && writeFile("out/loose.txt"));
    Entries entries;
    int repeat = 1;
    QString zip = "f.zip", target = "out";
    if (setup == "many") {
        repeat = 8000;
        for (int i = 0; i < 120; ++i)
            entries.append({QString("d%1/f%2.bin").arg(i % 7).arg(i), QByteArray::number(i * 7919, 16).leftJustified(8, '.')});
    } else if (setup == "abort") { // aborted on the first progress: many small files leave time for it
        for (int i = 0; i < 5000; ++i)
            entries.append({QString("d%1/f%2").arg(i % 7).arg(i), "x"});
    } else if (setup == "umask") {
        // Its own mode less the umask for an entry from Unix; 0666 less the umask else; a link is a plain file.
        entries = {{"plain", "p"}, {"exec", "e", 0100755}, {"link", "plain", 0120777}};
    } else if (setup == "conflict") { // found when the old sub-folders are already moved aside
        entries = {{"loose.txt/x", "x"}};
    } else if (setup == "text") {
        QVERIFY(writeFile("f.zip", "not a zip at all"));
    } else if (setup == "damaged" || setup == "nul") {
        entries = {{"d/ok.txt", "ok"}, {setup == "nul" ? "aXb.txt" : "a.txt", QByteArray("some text ").repeated(500)}};
    } else if (setup == "inside") {
        zip = "out/old/f.zip";
    } else if (setup == "blocked") {
        QVERIFY(writeFile("file"));
        target = "file/out";
    }
    if (setup != "text")
        QVERIFY(makeZip(zip, entries, repeat));
    QFile f(zip);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QByteArray bytes = f.readAll();
    if (setup == "damaged") // in the deflated data
        bytes.replace(bytes.indexOf("a.txt") + 5 + 20, 3, "\xff\x00\xff", 3);
    QVERIFY(f.seek(0) && f.write(bytes.replace("aXb.txt", QByteArray("a\0b.txt", 7))) == bytes.size());
    f.close();
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    const auto before = snapshot("out");

    const auto aborter = connect(m_js.data(), &JSInterface::invokeJSCall, this, [&](const QString &, const QVariantMap &d) {
        if (setup == "abort" && d.value("progress") == 1)
            m_js->abortArchiveUnzip(d.value("uuid").toString());
    });
    const mode_t savedMask = ::umask(027);
    const QList<Call> calls = unzip(zip, target);
    ::umask(savedMask);
    disconnect(aborter);
    QList<int> seen;
    for (const Call &c : calls.mid(0, calls.size() - 1)) {
        QCOMPARE(c.name, QStringLiteral("archiveUnzipProgress"));
        QCOMPARE(c.data.value("total").toInt(), entries.size());
        seen.append(c.data.value("progress").toInt());
    }
    QCOMPARE(seen.mid(0, setup == "abort" ? 2 : -1), expected);
    if (code == 0) {
        QCOMPARE(calls.last().name, QStringLiteral("archiveUnzipFinish"));
        QList<int> modes;
        for (const Entry &e : entries) {
            struct stat st;
            QVERIFY(::stat(QFile::encodeName("out/" + e.name).constData(), &st) == 0);
            QCOMPARE(qint64(st.st_size), qint64(e.data.size()) * repeat);
            modes.append(st.st_mode & 0777);
        }
        if (setup == "umask")
            QCOMPARE(modes, QList<int>({0640, 0750, 0640}));
        return;
    }
    const QString end = code == 4 ? "archiveUnzipAbort" : "archiveUnzipError";
    QVariantMap payload{{"file_path", zip}, {"target_path", target}, {"uuid", "1"}};
    if (code != 4)
        payload.insert("code", code);
    QCOMPARE(calls.last().name, end);
    QCOMPARE(calls.last().data, payload);
    // Byte for byte, and no staging folder left.
    QCOMPARE(snapshot("out"), before);
}

// A second archive into the same target: sub-folders replaced, loose files kept,
// backslashes as separators, links in the target replaced, never written through.
void tst_Zip::unzipIntoUsedTarget()
{
    QVERIFY(makeZip("1.zip", {{"a/x.txt", "x"}, {"top.txt", "top"}}));
    QCOMPARE(unzip("1.zip", "out").last().name, QStringLiteral("archiveUnzipFinish"));
    QVERIFY(QDir().mkpath("out/extra") && QDir().mkpath("outside"));
    QVERIFY(writeFile("out/loose.txt") && writeFile("outside/secret.txt", "secret"));
    QVERIFY(QFile::link(path("outside"), "out/dirlink"));
    QVERIFY(QFile::link(path("outside/secret.txt"), "out/filelink"));
    const auto outside = snapshot("outside");

    QVERIFY(makeZip("2.zip", {{"b\\sub\\y.txt", "y"}, {"dirlink/new.txt", "new"},
                              {"filelink", "replaced"}}));
    QCOMPARE(unzip("2.zip", "out").last().name, QStringLiteral("archiveUnzipFinish"));
    QCOMPARE(snapshot("outside"), outside);
    QCOMPARE(snapshot("out").keys(), QStringList({"b", "b/sub", "b/sub/y.txt", "dirlink",
                                                  "dirlink/new.txt", "filelink", "loose.txt",
                                                  "top.txt"}));
    QVERIFY(!QFileInfo("out/dirlink").isSymLink() && !QFileInfo("out/filelink").isSymLink());
}

// Entries are streamed on both extraction paths: a large one costs a buffer.
void tst_Zip::boundedMemory()
{
    constexpr qint64 kSize = 128 << 20;
    QVERIFY(makeZip("big.zip", {{"big.bin", QByteArray(1 << 20, 'z')}}, kSize >> 20));
    QFile clear("/proc/self/clear_refs");
    if (!clear.open(QIODevice::WriteOnly) || clear.write("5") != 1)
        QSKIP("peak memory cannot be reset here");
    clear.close();
    const qint64 start = peakKb();

    QCOMPARE(unzip("big.zip", "out").last().name, QStringLiteral("archiveUnzipFinish"));
    last([&](const QString &u) {
        m_js->zipExtractFiles(u, "big.zip", {{"b", QVariantMap{{"source", "big.bin"}, {"target", "copy.bin"}}}});
    });
    QCOMPARE(QFileInfo("out/big.bin").size(), kSize);
    QCOMPARE(QFileInfo("copy.bin").size(), kSize);
    QVERIFY2(peakKb() - start < 32 * 1024, qPrintable(QString::number(peakKb() - start)));
}

// A full disk leaves an extraction target and a replaced archive whole, with nothing beside them.
void tst_Zip::fullVolumeKeepsOldFiles()
{
    ShellTest::SmallVolume volume(path("small"), "1m");
    if (!volume.error().isEmpty())
        QSKIP(qPrintable(volume.error()));
    QByteArray big(1500000, Qt::Uninitialized), old(420000, 'o');
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(big.data()), big.size() / 4);
    QVERIFY(makeZip("big.zip", {{"big.bin", big}}) && QDir().mkpath("src") && writeFile("src/big.bin", big));
    QVERIFY(writeFile("small/t.bin", old) && writeFile("small/old.zip", old));
    const QVariantMap job{{"source", "big.bin"}, {"target", "small/t.bin"}};
    QCOMPARE(last([&](const QString &u) { m_js->zipExtractFiles(u, "big.zip", {{"a", job}}); }).data.value("a"),
             QVariant(QVariantMap{{"code", -1000}}));
    QCOMPARE(last([&](const QString &u) { m_js->zipCompressDirectory(u, "small/old.zip", "src"); }).name,
             QStringLiteral("zipCompressDirectoryFail"));
    const QByteArray sum = QCryptographicHash::hash(old, QCryptographicHash::Sha1).toHex();
    QCOMPARE(snapshot("small"), (QMap<QString, QByteArray>{{"t.bin", sum}, {"old.zip", sum}}));
}

QTEST_MAIN(tst_Zip)
#include "tst_zip.moc"
