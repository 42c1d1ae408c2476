// Tasks: how pool and plain tasks report, that each ends once, and that no
// task object is deleted inside its own ending signal.

#include "bridge/task.h"

#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <stdexcept>

using Task::CTask;
using Task::ITask;

namespace {

// Counts the four report signals of one task.
struct Reports
{
    explicit Reports(ITask *task)
        : resolved(task, &ITask::onResolved), rejected(task, &ITask::onRejected),
          notified(task, &ITask::onNotify), canceled(task, &ITask::onCanceled)
    {
    }
    int endings() const { return resolved.count() + rejected.count() + canceled.count(); }

    QSignalSpy resolved;
    QSignalSpy rejected;
    QSignalSpy notified;
    QSignalSpy canceled;
};

ResponsePtr response(int type, const QString &name = QStringLiteral("someDone"))
{
    return ResponsePtr(new IResponse({{QStringLiteral("k"), type}}, name, type));
}

} // namespace

class tst_Task : public QObject
{
    Q_OBJECT
private slots:
    void poolReports_data();
    void poolReports();
    void reportsAfterEndAreDropped_data();
    void reportsAfterEndAreDropped();
    void notDeletedInsideEndingSignal();
};

void tst_Task::poolReports_data()
{
    QTest::addColumn<int>("kind"); // response type, or -200 for a throw
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("warning");

    QTest::newRow("type 0 resolves") << 0 << "resolved" << QString();
    QTest::newRow("type 1 rejects, not resolves") << 1 << "rejected" << QString();
    QTest::newRow("type 2 is not forwarded") << 2 << "canceled" << "ignored a response of type 2";
    QTest::newRow("exception in the function is contained") << -200 << "canceled" << "produced no response";
}

void tst_Task::poolReports()
{
    QFETCH(int, kind);
    QFETCH(QString, expected);
    QFETCH(QString, warning);

    if (kind == -200)
        QTest::ignoreMessage(QtWarningMsg, "task function failed: boom");
    std::atomic<bool> ran{false};
    const auto task = Task::onPool([kind, &ran]() -> ResponsePtr {
        ran = true;
        if (kind == -200)
            throw std::runtime_error("boom");
        return response(kind);
    });
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(warning)));
    Reports reports(task.data());
    // Nothing runs before start(); the end is reported from the event loop.
    QThreadPool::globalInstance()->waitForDone();
    QVERIFY(!ran);
    task->start();
    QCOMPARE(reports.endings(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(reports.endings(), 1, 10000);

    QCOMPARE(reports.resolved.count(), expected == "resolved" ? 1 : 0);
    QCOMPARE(reports.rejected.count(), expected == "rejected" ? 1 : 0);
    QCOMPARE(reports.canceled.count(), expected == "canceled" ? 1 : 0);
    QCOMPARE(reports.notified.count(), 0);
    QVERIFY(task->hasEnded());
    // Nothing else arrives later.
    QCoreApplication::processEvents();
    QCOMPARE(reports.endings(), 1);
}

void tst_Task::reportsAfterEndAreDropped_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    const QStringList kinds{"resolve", "reject", "cancel"};
    for (const QString &a : kinds)
        for (const QString &b : kinds)
            QTest::addRow("%s then %s", qPrintable(a), qPrintable(b)) << a << b;
}

void tst_Task::reportsAfterEndAreDropped()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    const auto task = CTask::create();
    Reports reports(task.data());
    auto report = [&](const QString &what) {
        if (what == "resolve")
            task->resolve(response(0));
        else if (what == "reject")
            task->reject(response(1));
        else
            task->cancel();
    };
    report(first);
    report(second);
    task->notify(response(0));
    QCOMPARE(reports.endings(), 1);
    QCOMPARE(reports.notified.count(), 0);
    QCOMPARE(reports.resolved.count(), first == "resolve" ? 1 : 0);
    QCOMPARE(reports.rejected.count(), first == "reject" ? 1 : 0);
    QCOMPARE(reports.canceled.count(), first == "cancel" ? 1 : 0);
}

// The last reference dropped inside the ending signal: later handlers see a live task.
void tst_Task::notDeletedInsideEndingSignal()
{
    QSharedPointer<ITask> holder = Task::onPool([] { return ResponsePtr(); });
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("produced no response"));
    ITask *raw = holder.data();
    const QPointer<ITask> watch(raw);
    bool laterHandlerSawLiveTask = false;

    auto drop = [&holder] { holder.reset(); };
    auto later = [&] { laterHandlerSawLiveTask = !watch.isNull() && !raw->id().isEmpty(); };
    connect(raw, &ITask::onCanceled, raw, drop, Qt::DirectConnection);
    connect(raw, &ITask::onCanceled, raw, later, Qt::DirectConnection);

    raw->start();
    QTRY_VERIFY(holder.isNull());
    QVERIFY(laterHandlerSawLiveTask);
    // Deleted from the event loop afterwards.
    QTRY_VERIFY(watch.isNull());
}

QTEST_GUILESS_MAIN(tst_Task)
#include "tst_task.moc"
