#include "contenttest.h"

#include "app/pathsmanager.h"
#include "bridge/constants.h"
#include "content/contentpassword.h"
#include "content/folderarchivemanager.h"
#include "content/kelcabarchivemanager.h"
#include "content/ziparchiveaccessmanager.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

#include <vector>

using namespace ContentTest;

class tst_ArchiveManagers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void contentPasswordIsBuiltAtRunTime();

    void zipReadsEntries_data();
    void zipReadsEntries();
    void zipUnreadableEntryThrows_data();
    void zipUnreadableEntryThrows();

    void lookups_data();
    void lookups();

    void createArchiveManager_data();
    void createArchiveManager();

private:
    QString makeZip(const QByteArray &password = {}, int method = 8);
    QString makeKelcab();

    QTemporaryDir m_config;
    QScopedPointer<QTemporaryDir> m_dir;
    const Files m_files{
        {QStringLiteral("webapp/index.html"), "<html>index</html>"},
        {QStringLiteral("webapp/Sub/Style.css"), "body { color: red }"},
        {QStringLiteral("webapp/a b.txt"), "spaced"},
        {QStringLiteral("webapp/big.bin"), QByteArray(300000, 'x') + "end"},
    };
};

void tst_ArchiveManagers::initTestCase()
{
    QVERIFY(m_config.isValid());
    // Before SettingsManager exists: it reads the configuration path once.
    PathsManager::instance()->set(Constants::name(Constants::PathManager::configPath),
                                  m_config.filePath(QStringLiteral("kelshell.config")));
}

void tst_ArchiveManagers::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    // QSettings objects on one file share their data within the process, so
    // this reaches SettingsManager at once.
    QSettings settings(m_config.filePath(QStringLiteral("kelshell.config")), QSettings::IniFormat);
    settings.clear();
}

QString tst_ArchiveManagers::makeZip(const QByteArray &password, int method)
{
    const QString path = m_dir->filePath(QStringLiteral("data.zip"));
    return writeZip(path, m_files, password, method) ? path : QString();
}

QString tst_ArchiveManagers::makeKelcab()
{
    Files files = m_files;
    files.remove(QStringLiteral("webapp/big.bin"));
    const QString path = m_dir->filePath(QStringLiteral("data.bin"));
    const bool made = writeTree(m_dir->filePath(QStringLiteral("tree")), files)
        && writeKelcab(m_dir->filePath(QStringLiteral("tree/webapp")), path);
    return made ? path : QString();
}

void tst_ArchiveManagers::contentPasswordIsBuiltAtRunTime()
{
    const QByteArray expected = QByteArray::fromHex(TAMBERLIN_EXPECTED_PASSWORD_HEX);
    QCOMPARE(contentPassword(), expected);
    // The plain text must not sit in the program's data.
    const QByteArray library = readFile(QStringLiteral(TAMBERLIN_SHELLCONTENT_LIBRARY));
    QVERIFY(!library.isEmpty());
    QVERIFY(!library.contains(expected));
}

void tst_ArchiveManagers::zipReadsEntries_data()
{
    QTest::addColumn<bool>("encrypt");
    QTest::addColumn<int>("method"); // -1: made by Info-ZIP's zip

    // Deflated zips, plain and encrypted: the content course's zip rows.
    QTest::newRow("plain stored zip") << false << 0;
    QTest::newRow("encrypted stored zip") << true << 0;
    // Info-ZIP streams encrypted entries with a data descriptor: the password
    // check byte then comes from the entry's time, not its CRC.
    QTest::newRow("encrypted by Info-ZIP") << true << -1;
}

void tst_ArchiveManagers::zipReadsEntries()
{
    QFETCH(bool, encrypt);
    QFETCH(int, method);

    QString path = m_dir->filePath(QStringLiteral("info.zip"));
    if (method >= 0) {
        path = makeZip(encrypt ? contentPassword() : QByteArray(), method);
    } else {
        const QString zipTool = QStandardPaths::findExecutable(QStringLiteral("zip"));
        if (zipTool.isEmpty())
            QSKIP("the zip tool is not installed");
        QVERIFY(writeTree(m_dir->filePath(QStringLiteral("tree")), m_files));
        QProcess zipper;
        zipper.setWorkingDirectory(m_dir->filePath(QStringLiteral("tree")));
        zipper.start(zipTool, {QStringLiteral("-q"), QStringLiteral("-r"), QStringLiteral("-P"),
                               QString::fromLatin1(contentPassword()), path, QStringLiteral("webapp")});
        QVERIFY(zipper.waitForFinished(30000));
        QCOMPARE(zipper.exitCode(), 0);
    }
    QVERIFY(!path.isEmpty());
    ZipArchiveAccessManager zip(path);
    std::vector<std::unique_ptr<QIODevice>> open;
    for (auto it = m_files.cbegin(); it != m_files.cend(); ++it) {
        QVERIFY2(zip.exists(it.key()), qPrintable(it.key()));
        QCOMPARE(zip.read(it.key()), it.value());
        open.emplace_back(zip.open(it.key()));
        QVERIFY(open.back());
    }
    // Devices open at once must not share a handle on the archive.
    auto device = open.begin();
    for (auto it = m_files.cbegin(); it != m_files.cend(); ++it, ++device)
        QCOMPARE((*device)->readAll(), it.value());
    // Closed, they give their handles back, and later reads open nothing new.
    const auto descriptors = [&path] {
        const QStringList all = QDir("/proc/self/fd").entryList(QDir::Files | QDir::System);
        return std::count_if(all.cbegin(), all.cend(), [&](const QString &fd) {
            return QFile::symLinkTarget("/proc/self/fd/" + fd) == QFileInfo(path).canonicalFilePath();
        });
    };
    open.clear();
    QCOMPARE(descriptors(), long(m_files.size()));
    QCOMPARE(zip.read(m_files.lastKey()), m_files.last());
    QCOMPARE(descriptors(), long(m_files.size()));
    // Nor may reads on several threads.
    QList<QFuture<bool>> futures;
    for (int i = 0; i < 40; ++i) {
        const QString key = m_files.keys().at(i % m_files.size());
        futures.append(QtConcurrent::run([&zip, this, key] {
            return zip.exists(key) && zip.read(key) == m_files.value(key);
        }));
    }
    for (QFuture<bool> &f : futures)
        QVERIFY(f.result());
}

// Unreadable entries throw rather than serve garbage; a missing one leaves the QuaZip usable.
void tst_ArchiveManagers::zipUnreadableEntryThrows_data()
{
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QVariant>("encryptedSetting");
    QTest::addColumn<int>("method");
    QTest::addColumn<QString>("entry");
    const QString index = QStringLiteral("webapp/index.html");
    QTest::newRow("another password, stored") << QByteArray("Another#Secret") << QVariant() << 0
                                              << index;
    QTest::newRow("content password but encrypted=false")
        << contentPassword() << QVariant(false) << 8 << index;
    QTest::newRow("missing entry") << QByteArray() << QVariant() << 8 << "webapp/missing.js";
    QTest::newRow("leading slash") << QByteArray() << QVariant() << 8 << "/webapp/index.html";
    QTest::newRow("other case") << QByteArray() << QVariant() << 8 << "WEBAPP/INDEX.HTML";
}

void tst_ArchiveManagers::zipUnreadableEntryThrows()
{
    QFETCH(QByteArray, password);
    QFETCH(QVariant, encryptedSetting);
    QFETCH(int, method);
    QFETCH(QString, entry);
    if (encryptedSetting.isValid()) {
        QSettings settings(m_config.filePath(QStringLiteral("kelshell.config")), QSettings::IniFormat);
        settings.setValue(QStringLiteral("wrapper/encrypted"), encryptedSetting);
    }
    const QString path = makeZip(password, method);
    QVERIFY(!path.isEmpty());
    ZipArchiveAccessManager zip(path);
    QCOMPARE(zip.exists(entry), m_files.contains(entry));
    QVERIFY_EXCEPTION_THROWN(delete zip.open(entry), ArchiveException);
    QVERIFY_EXCEPTION_THROWN(zip.read(entry), ArchiveException);
    if (password.isEmpty())
        QCOMPARE(zip.read(QStringLiteral("webapp/index.html")), QByteArray("<html>index</html>"));
}

// Kelcab: any case, folders exist. Course folder: root name in any case, no path out of it.
void tst_ArchiveManagers::lookups_data()
{
    QTest::addColumn<bool>("folder");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("content"); // null: neither content nor a device
    const QByteArray css("body { color: red }"), none;
    QTest::newRow("kelcab: mixed case in a subfolder")
        << false << "Webapp/sub/STYLE.css" << true << css;
    QTest::newRow("kelcab: folder") << false << "webapp/Sub" << true << none;
    QTest::newRow("folder: root name in another case")
        << true << "WebApp\\Sub\\Style.css" << true << css;
    QTest::newRow("folder: a folder is no entry") << true << "webapp/Sub" << false << none;
    QTest::newRow("folder: another root") << true << "other/Sub/Style.css" << false << none;
    QTest::newRow("folder: climbing out") << true << "webapp/../secret.txt" << false << none;
    QTest::newRow("folder: climbing out from below")
        << true << "webapp/Sub/../../secret.txt" << false << none;
}

void tst_ArchiveManagers::lookups()
{
    QFETCH(bool, folder);
    QFETCH(QString, path);
    QFETCH(bool, exists);
    QFETCH(QByteArray, content);
    const QString kelcab = makeKelcab();
    QVERIFY(writeTree(m_dir->filePath(QStringLiteral("tree")), {{QStringLiteral("secret.txt"), "s"}}));
    std::unique_ptr<ArchiveAccessManager> archive;
    if (folder)
        archive.reset(new FolderArchiveManager(m_dir->filePath(QStringLiteral("tree/webapp"))));
    else
        archive.reset(new KelCabArchiveManager(kelcab));
    QCOMPARE(archive->exists(path), exists);
    QCOMPARE(archive->read(path), content);
    QScopedPointer<QIODevice> device(archive->open(path));
    QCOMPARE(bool(device), !content.isNull());
}

// The kind picks the manager; an archive that cannot open leaves an empty one and says why.
void tst_ArchiveManagers::createArchiveManager_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("content"); // "zip", "missing", "garbage", "truncated kelcab", "folder"
    QTest::addColumn<QString>("message"); // empty: the archive opens

    // A kelcab that opens: every course row with the kelcab archive.
    QTest::newRow("KELCAB in other case selects zip") << "KELCAB" << "zip" << "";
    QTest::newRow("missing zip") << "zip" << "missing"
                                 << "cannot open the zip content archive .*bad.bin - the file does "
                                    "not exist \\(QuaZip error -?\\d+\\)";
    QTest::newRow("a folder in its place") << "zip" << "folder"
        << "cannot open the zip content archive .*bad.bin - the file cannot be read \\(QuaZip error -?\\d+\\)";
    QTest::newRow("damaged zip") << "zip" << "garbage"
                                 << "cannot open the zip content archive .*bad.bin - it is not an "
                                    "archive of that kind or it is damaged \\(QuaZip error -?\\d+\\)";
    QTest::newRow("missing kelcab") << "kelcab" << "missing"
                                    << "cannot open the kelcab content archive .*bad.bin - the "
                                       "file does not exist";
    QTest::newRow("damaged kelcab") << "kelcab" << "garbage" << "cannot read the kelcab content archive .*KelCab";
    QTest::newRow("truncated kelcab") << "kelcab" << "truncated kelcab" << "cannot read the kelcab content archive";
}

void tst_ArchiveManagers::createArchiveManager()
{
    QFETCH(QString, kind);
    QFETCH(QString, content);
    QFETCH(QString, message);

    QString path = m_dir->filePath(QStringLiteral("bad.bin"));
    if (content == QLatin1String("zip")) {
        path = makeZip();
    } else if (content == QLatin1String("folder")) {
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("bad.bin")));
    } else if (content == QLatin1String("garbage")) {
        QVERIFY(writeTree(m_dir->path(), {{QStringLiteral("bad.bin"), QByteArray(4096, '\x5a')}}));
    } else if (content == QLatin1String("truncated kelcab")) {
        const QByteArray whole = readFile(makeKelcab());
        QVERIFY(whole.size() > 40);
        QVERIFY(writeTree(m_dir->path(), {{QStringLiteral("bad.bin"), whole.left(whole.size() - 20)}}));
    }

    const bool opens = message.isEmpty();
    if (!opens)
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(message));
    QScopedPointer<ArchiveAccessManager> manager(::createArchiveManager(path, kind));
    QVERIFY(manager);
    if (opens)
        QVERIFY(qobject_cast<ZipArchiveAccessManager *>(manager.data()));
    QCOMPARE(manager->exists(QStringLiteral("webapp/index.html")), opens);
    QCOMPARE(manager->read(QStringLiteral("webapp/index.html")),
             opens ? QByteArray("<html>index</html>") : QByteArray());
    QScopedPointer<QIODevice> device(manager->open(QStringLiteral("webapp/index.html")));
    QCOMPARE(bool(device), opens);
}

QTEST_GUILESS_MAIN(tst_ArchiveManagers)
#include "tst_archivemanagers.moc"
