// The log file: line format and UTF-8, several threads at once, reopening.

#include "app/shelllog.h"

#include <QFile>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>
#include <vector>

Q_LOGGING_CATEGORY(testLog, "Tamberlin.Test")

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_ShellLog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void reopenWhileThreadsLog();

private:
    QtMessageHandler m_previous = nullptr;
};

// Messages go into ShellLog during each test (QtTest installs its own handler).
void tst_ShellLog::init()
{
    qSetMessagePattern(QString::fromLatin1(ShellLog::Pattern));
    m_previous = qInstallMessageHandler(&ShellLog::messageHandler);
}

void tst_ShellLog::cleanup()
{
    qInstallMessageHandler(m_previous);
    ShellLog::close();
}

void tst_ShellLog::reopenWhileThreadsLog()
{
    // Pool threads may log while the file is reopened: never into one being
    // destroyed, and never a line torn by another (long lines make it likely).
    QTemporaryDir dir;
    const QString first = dir.filePath(QStringLiteral("a.txt"));
    const QString second = dir.filePath(QStringLiteral("b.txt"));
    QVERIFY(ShellLog::open(first));
    QAtomicInt stop(0);
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back(QThread::create([&stop, t] {
            const QByteArray padding(200, char('a' + t));
            for (int i = 0; !stop.loadAcquire(); ++i)
                qCWarning(testLog, "thread %d message %d %s", t, i, padding.constData());
        }));
        threads.back()->start();
    }
    for (int round = 0; round < 3000; ++round) {
        if (round % 3 == 2)
            ShellLog::close();
        else
            QVERIFY(ShellLog::open(round % 2 ? first : second));
    }
    stop.storeRelease(1);
    for (auto &thread : threads)
        QVERIFY(thread->wait(60000));
    ShellLog::close();

    static const QRegularExpression line(
        QStringLiteral("^\\[warning\\] Tamberlin\\.Test: thread (\\d) message \\d+ ([a-d])\\2{199}\r$"));
    for (const QString &path : {first, second}) {
        QList<QByteArray> lines = readAll(path).split('\n');
        QCOMPARE(lines.takeLast(), QByteArray());
        for (const QByteArray &raw : qAsConst(lines))
            QVERIFY2(line.match(QString::fromLatin1(raw)).hasMatch(), raw.constData());
    }
}

QTEST_GUILESS_MAIN(tst_ShellLog)
#include "tst_shelllog.moc"
