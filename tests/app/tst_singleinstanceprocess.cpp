// Single-instance behaviour between real processes (see singleinstancehelper).

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

#ifndef HELPER_PATH
#error HELPER_PATH must name the helper program
#endif

// Environment variable -> folder under the test's root, for every process.
static const QList<QPair<QString, QString>> kFolders{
    {"HOME", "home"}, {"TMPDIR", "tmp"}, {"XDG_DATA_HOME", "data"},
    {"XDG_CONFIG_HOME", "config"}, {"XDG_CACHE_HOME", "cache"}, {"XDG_RUNTIME_DIR", "runtime"}};

class tst_SingleInstanceProcess : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void secondStartWhileMasterBusy();
    void killedMasterDoesNotBlock();
    void twentyClientsAtOnce();

private:
    QProcess *start(const QStringList &args, const QByteArray &delayMs = {},
                    const QString &program = QStringLiteral(HELPER_PATH));
    QString log() const;
    int count(const QString &text) const { return log().count(text); }
    bool waitForMaster(int listeningLines);
    void quitMaster(QProcess *master);

    std::unique_ptr<QTemporaryDir> m_root;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

void tst_SingleInstanceProcess::init()
{
    // Short: the master's socket path must fit a unix socket address.
    m_root = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/sip-XXXXXX"));
    QVERIFY(m_root->isValid());
    for (const auto &folder : kFolders)
        QVERIFY(QDir(m_root->path()).mkpath(folder.second));
}

void tst_SingleInstanceProcess::cleanup()
{
    for (auto &process : m_processes) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    if (QTest::currentTestFailed())
        qInfo().noquote() << "--- appLogs.txt ---\n" << log();
    m_processes.clear();
    m_root.reset();
}

QProcess *tst_SingleInstanceProcess::start(const QStringList &args, const QByteArray &delayMs,
                                           const QString &program)
{
    m_processes.push_back(std::make_unique<QProcess>());
    QProcess *process = m_processes.back().get();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto &folder : kFolders)
        env.insert(folder.first, m_root->path() + QLatin1Char('/') + folder.second);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (!delayMs.isEmpty())
        env.insert(QStringLiteral("HELPER_STARTUP_DELAY_MS"), QString::fromLatin1(delayMs));
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(program, args);
    return process;
}

QString tst_SingleInstanceProcess::log() const
{
    QFile file(m_root->path() + QStringLiteral("/data/Kelvane/Tamberlin/appLogs.txt"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool tst_SingleInstanceProcess::waitForMaster(int listeningLines)
{
    return QTest::qWaitFor(
        [&] { return count(QStringLiteral("Master instance listening as")) >= listeningLines; },
        30000);
}

void tst_SingleInstanceProcess::quitMaster(QProcess *master)
{
    auto client = start({QStringLiteral("--quit-master")});
    QVERIFY(client->waitForFinished(30000));
    QCOMPARE(client->exitCode(), 0);
    QVERIFY(master->waitForFinished(30000));
    QCOMPARE(master->exitStatus(), QProcess::NormalExit);
    QCOMPARE(master->exitCode(), 0);
    QCOMPARE(count(QStringLiteral("helper: master about to quit")), 1);
    // The lock went with the master.
    QCOMPARE(QDir(m_root->path() + QStringLiteral("/tmp"))
                 .entryList({QStringLiteral("*.lock")}, QDir::Files),
             QStringList());
}

void tst_SingleInstanceProcess::secondStartWhileMasterBusy()
{
    // The master listens, then is busy 2 s before its event loop: the client waits.
    auto master = start({}, "2000");
    QVERIFY(waitForMaster(1));
    QVERIFY(!log().contains(QStringLiteral("helper: startup done")));
    auto second = start({QStringLiteral("--open-uri=/busy")});
    QVERIFY(second->waitForFinished(30000));
    QCOMPARE(second->exitCode(), 0);
    QVERIFY(log().contains(QStringLiteral("\"--open-uri=/busy\"")));
    QCOMPARE(count(QStringLiteral("helper: startup ran")), 1);
    quitMaster(master);
}

void tst_SingleInstanceProcess::killedMasterDoesNotBlock()
{
    auto master = start({});
    QVERIFY(waitForMaster(1));
    master->kill();
    QVERIFY(master->waitForFinished(10000));
    QCOMPARE(master->exitStatus(), QProcess::CrashExit);
    // What a killed master leaves behind: its lock file and its socket.
    const QDir tmp(m_root->path() + QStringLiteral("/tmp"));
    const QStringList locks = tmp.entryList({QStringLiteral("*.lock")}, QDir::Files);
    QCOMPARE(locks.size(), 1);
    const QString id = locks.first().chopped(5);
    QVERIFY(QFileInfo::exists(tmp.filePath(id)));

    auto next = start({});
    QVERIFY(waitForMaster(2));
    QTRY_COMPARE(count(QStringLiteral("helper: startup ran")), 2); // logged after "listening"
    auto client = start({QStringLiteral("--open-uri=/after-kill")});
    QVERIFY(client->waitForFinished(30000));
    QCOMPARE(client->exitCode(), 0);
    QTRY_VERIFY(log().contains(QStringLiteral("\"--open-uri=/after-kill\"")));
    quitMaster(next);
}

void tst_SingleInstanceProcess::twentyClientsAtOnce()
{
    const qint64 pid = start({})->processId();
    QVERIFY(waitForMaster(1));
    // Watched by its pid: QProcess here now and then reports this master ended while it runs.
    const auto alive = [pid] {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        return stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z ");
    };

    // From one shell, which reports their exit codes: twenty QProcess objects
    // ending at once made QProcess now and then report the live master as ended.
    auto clients = start({QStringLiteral("-c"),
                          QStringLiteral("for i in $(seq 0 19); do \"$0\" --open-uri=/client/$i >/dev/null 2>&1 & "
                                         "pids=\"$pids $!\"; done; for p in $pids; do wait $p; echo $?; done"),
                          QStringLiteral(HELPER_PATH)},
                         {}, QStringLiteral("/bin/bash"));
    QVERIFY(clients->waitForFinished(60000));
    QCOMPARE(clients->readAll(), QByteArray("0\n").repeated(20));
    QTRY_COMPARE_WITH_TIMEOUT(count(QStringLiteral("Received arguments from another instance")),
                              20, 10000);
    for (int i = 0; i < 20; ++i)
        QCOMPARE(count(QStringLiteral("\"--open-uri=/client/%1\", \"--disable-web-security\")").arg(i)), 1);
    // Only the master ran the startup function.
    QCOMPARE(count(QStringLiteral("helper: startup ran")), 1);
    QVERIFY(alive());
    auto quit = start({QStringLiteral("--quit-master")});
    QVERIFY(quit->waitForFinished(30000));
    QCOMPARE(quit->exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!alive(), 30000);
    QCOMPARE(count(QStringLiteral("helper: master about to quit")), 1);
}

QTEST_GUILESS_MAIN(tst_SingleInstanceProcess)
#include "tst_singleinstanceprocess.moc"
