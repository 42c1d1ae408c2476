// The real program killed with SIGKILL while it saves items and batches: the
// database then passes SQLite's integrity check, holds every confirmed item
// and each batch whole or not at all.

#include "plugins/storage/keyedcipher.h"
#include "plugins/storage/storage.h"
#include "tests/support/shelltest.h"

#include <QHash>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

using namespace ShellTest;

namespace {

int rounds()
{
    const char *name = "TAMBERLIN_STORAGE_KILL_ROUNDS";
    return qMax(1, qEnvironmentVariableIsSet(name) ? qEnvironmentVariableIntValue(name) : 3);
}

constexpr int kBatchSize = 25; // as in the page

QString batchValue(int j)
{
    return QStringLiteral("batch value %1 ").arg(j) + QString(j * 40, QLatin1Char('x'));
}

int confirmedSaves(const ReportServer &server)
{
    int n = 0;
    for (const QString &m : server.messages())
        n += m.startsWith(QLatin1String("saved ")) || m.startsWith(QLatin1String("batch "));
    return n;
}

void checkDatabase(const QString &path, const QStringList &messages)
{
    const KeyedCipher cipher(Storage::storageKey());
    QHash<QString, QString> items; // page key -> stored value
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec(QStringLiteral("PRAGMA integrity_check")));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), QStringLiteral("ok"));
        QVERIFY(q.exec(QStringLiteral("select key, value from stored_values")));
        while (q.next())
            items.insert(Storage::pageKey(q.value(0).toString()), q.value(1).toString());
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));

    for (const QString &m : messages) {
        if (m.startsWith(QLatin1String("saved "))) {
            const QString key = m.mid(6);
            QVERIFY2(items.contains(key), qPrintable(QStringLiteral("confirmed item lost: ") + key));
            QCOMPARE(cipher.decryptText(items.value(key)), QStringLiteral("value of ") + key);
        } else if (m.startsWith(QLatin1String("batch "))) {
            const QString prefix = m.section(QLatin1Char(' '), 1, 1);
            for (int j = 0; j < kBatchSize; ++j) {
                const QString key = prefix + QString::number(j);
                QVERIFY2(items.contains(key), qPrintable(QStringLiteral("confirmed batch item lost: ") + key));
                QCOMPARE(cipher.decryptText(items.value(key)), batchValue(j));
            }
        }
    }
    // Batches never confirmed: all or nothing.
    QHash<QString, int> batchCounts;
    for (auto it = items.cbegin(); it != items.cend(); ++it)
        if (it.key().contains(QLatin1String("-b")))
            ++batchCounts[it.key().left(it.key().lastIndexOf(QLatin1Char('-')) + 1)];
    for (auto it = batchCounts.cbegin(); it != batchCounts.cend(); ++it)
        QVERIFY2(it.value() == kBatchSize,
                 qPrintable(QStringLiteral("batch %1 holds %2 items").arg(it.key()).arg(it.value())));
}

} // namespace

class tst_StorageDurability : public QObject
{
    Q_OBJECT
public:
    // The long run outlasts QtTest's five minutes per function; the
    // variable is read when the first test function starts.
    tst_StorageDurability()
    {
        if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
            qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number(120000 + rounds() * 30000));
    }

private slots:
    void killWhileSaving();
};

void tst_StorageDurability::killWhileSaving()
{
    const int rounds = ::rounds();
    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("%d rounds, seed %u", rounds, seed);
    QRandomGenerator random(seed);

    Session run;
    AppFolder &app = run.app;
    ReportServer &server = run.server;
    const QString db = app.root() + QStringLiteral("/store.db");
    QVERIFY2(run.setUp(QStringLiteral("storage-kill"), {{QStringLiteral("db"), db}}),
             qPrintable(run.error));

    for (int round = 1; round <= rounds; ++round) {
        // Kill after this many more confirmed saves.
        const int target = confirmedSaves(server) + 1 + int(random.bounded(120u));
        QProcess *shell = run.start();
        QTRY_VERIFY_WITH_TIMEOUT(server.messages().count(QStringLiteral("ready")) == round
                                     || shell->state() == QProcess::NotRunning,
                                 60000);
        QTRY_VERIFY_WITH_TIMEOUT(confirmedSaves(server) >= target
                                     || shell->state() == QProcess::NotRunning,
                                 60000);
        QVERIFY2(shell->state() != QProcess::NotRunning,
                 qPrintable(describeFailure(app, &server, finishShell(shell, 1))));
        shell->kill();
        const RunResult result = finishShell(shell, 20000);
        QVERIFY(result.crashed);
        checkDatabase(db, server.messages());
        if (QTest::currentTestFailed()) {
            qInfo("failed in round %d", round);
            return;
        }
    }
}

QTEST_GUILESS_MAIN(tst_StorageDurability)
#include "tst_storagedurability.moc"
