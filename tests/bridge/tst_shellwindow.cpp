// The real program under Xvfb: the window's size and title, close requests
// that only notify the page, the end of the program when the page's render
// process dies, the methods the page sees, and application events handed
// over on the command line and by a second instance.

#include "bridge/desktopbridge.h"
#include "shellwindow_config.h"
#include "tests/support/shelltest.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QScopedPointer>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <sys/types.h>

using namespace ShellTest;

namespace {

constexpr int kStartMs = 60000;
constexpr int kStepMs = 30000;

QString xwintool()
{
    return QStringLiteral(XWINTOOL_EXE);
}

// Runs the window tool against the display; returns its output lines.
bool runXwintool(const QString &display, const QString &command, qint64 pid,
                 QStringList *lines = nullptr)
{
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    tool.setProcessEnvironment(env);
    tool.start(xwintool(), {command, QString::number(pid)});
    if (!tool.waitForFinished(kStepMs) || tool.exitStatus() != QProcess::NormalExit
        || tool.exitCode() != 0)
        return false;
    if (lines)
        *lines = QString::fromUtf8(tool.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    return true;
}

// The result of a program that has ended, or finishShell's kill of one that
// has not.
RunResult ended(QProcess *process)
{
    return finishShell(process, 1);
}

// One program run with its folder, report server and display.
class Run
{
public:
    bool setUp(const QVariantMap &testConfig, const QString &config, QString *error)
    {
        if (!m_app.isValid() || !m_server.listen() || !m_xvfb.start(error))
            return false;
        QVariantMap pageConfig = testConfig;
        pageConfig.insert(QStringLiteral("report"), m_server.url());
        // Without a configuration file the content is the default: an
        // encrypted zip archive.
        const bool ok = m_app.installBinary()
            && m_app.packCourse(coursesDir() + QStringLiteral("/bridge"), AppFolder::Zip,
                                pageConfig, QStringLiteral("data.bin"),
                                config.isEmpty() ? QByteArray(TAMBERLIN_CONTENT_PASSWORD)
                                                 : QByteArray())
            && (config.isEmpty() || m_app.writeConfig(QStringLiteral("[wrapper]\nencrypted=false\n")
                                                      + config));
        if (!ok && error)
            *error = m_app.lastError();
        return ok;
    }

    QProcess *start(const QStringList &args = {})
    {
        m_process.reset(startShell(m_app, m_xvfb.display(), args));
        return m_process.data();
    }

    // Waits with the event loop running, so the page's reports get in.
    RunResult finish(int timeoutMs = kStepMs)
    {
        if (m_process->state() != QProcess::NotRunning) {
            QSignalSpy finished(m_process.data(),
                                QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
            finished.wait(timeoutMs);
        }
        m_result = ended(m_process.data());
        return m_result;
    }

    QString failure() const { return describeFailure(m_app, &m_server, m_result); }
    QString failure(const QString &what)
    {
        if (m_process && m_process->state() != QProcess::NotRunning)
            finish(1);
        return what + QLatin1Char('\n') + failure();
    }

    AppFolder &app() { return m_app; }
    ReportServer &server() { return m_server; }
    QString display() const { return m_xvfb.display(); }
    qint64 pid() const { return m_process ? m_process->processId() : -1; }

private:
    AppFolder m_app;
    ReportServer m_server;
    Xvfb m_xvfb;
    QScopedPointer<QProcess> m_process;
    RunResult m_result;
};

} // namespace

class tst_ShellWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { qRegisterMetaType<QProcess::ExitStatus>(); }
    void windowSizeAndTitle_data();
    void windowSizeAndTitle();
    void closeOnlyNotifiesPage();
    void pageSeesOnlyAllowedMethods();
    void applicationEventsAfterInitialization();
};

void tst_ShellWindow::windowSizeAndTitle_data()
{
    QTest::addColumn<QString>("config");
    QTest::addColumn<QString>("size");
    QTest::addColumn<QString>("title");
    // Qt shows the application name for a window whose title is empty.
    QTest::newRow("no configuration file: 1024x768, empty title")
        << QString() << "1024x768" << "Tamberlin";
    QTest::newRow("size and title from kelshell.config")
        << "[visual]\nProductName=Course Title\nStageX=800\nStageY=600\n" << "800x600"
        << "Course Title";
}

void tst_ShellWindow::windowSizeAndTitle()
{
    QFETCH(QString, config);
    QFETCH(QString, size);
    QFETCH(QString, title);

    Run run;
    QString error;
    QVERIFY2(run.setUp({{"mode", "close"}, {"closes", 1}}, config, &error), qPrintable(error));
    run.start();
    if (!run.server().waitForMessage("ready", kStartMs))
        QFAIL(qPrintable(run.failure("the page did not load")));

    QStringList windows;
    if (!runXwintool(run.display(), "list", run.pid(), &windows))
        QFAIL(qPrintable(run.failure("no mapped window")));
    QCOMPARE(windows.size(), 1);
    const QStringList fields = windows.first().split(' ');
    QCOMPARE(fields.value(1), size);
    QCOMPARE(fields.mid(2).join(' '), title);

    QVERIFY(runXwintool(run.display(), "close", run.pid()));
    const RunResult result = run.finish();
    QVERIFY2(result.exitCode == 0, qPrintable(run.failure()));
}

void tst_ShellWindow::closeOnlyNotifiesPage()
{
    Run run;
    QString error;
    QVERIFY2(run.setUp({{"mode", "close"}, {"closes", 2}}, QString(), &error), qPrintable(error));
    run.start();
    if (!run.server().waitForMessage("ready", kStartMs))
        QFAIL(qPrintable(run.failure("the page did not load")));

    QVERIFY(runXwintool(run.display(), "close", run.pid()));
    if (!run.server().waitForMessage("close 1", kStepMs))
        QFAIL(qPrintable(run.failure("no close notice")));
    // Still there: the close was refused.
    QStringList windows;
    QVERIFY(runXwintool(run.display(), "list", run.pid(), &windows));
    QCOMPARE(windows.size(), 1);

    QVERIFY(runXwintool(run.display(), "close", run.pid()));
    const RunResult result = run.finish();
    QVERIFY2(result.exitCode == 0, qPrintable(run.failure()));
    const QStringList notices = run.server().messages().filter(QRegularExpression("^close \\d+$"));
    QCOMPARE(notices, (QStringList{"close 1", "close 2"}));
}

void tst_ShellWindow::pageSeesOnlyAllowedMethods()
{
    Run run;
    QString error;
    QVERIFY2(run.setUp({{"mode", "surface"}}, QString(), &error), qPrintable(error));
    run.start();
    const RunResult result = run.finish(kStartMs);
    QVERIFY2(result.exitCode == 0, qPrintable(run.failure()));

    const QStringList reports = run.server().messages().filter(QRegularExpression("^methods "));
    QCOMPARE(reports.size(), 1);
    const QJsonArray seen =
        QJsonDocument::fromJson(reports.first().mid(8).toUtf8()).array();
    // qwebchannel.js's own helpers and the signature-named overloads.
    const QStringList helpers{"unwrapQObject", "unwrapProperties", "propertyUpdate",
                              "signalEmitted"};
    QStringList methods;
    for (const QJsonValue &v : seen) {
        const QString name = v.toString();
        if (!helpers.contains(name) && !name.contains('('))
            methods.append(name);
    }
    // deleteLater comes with every QObject; Qt and the bridge refuse it.
    QStringList expected = DesktopBridge::allowedPageMethods();
    expected.append("deleteLater");
    std::sort(methods.begin(), methods.end());
    std::sort(expected.begin(), expected.end());
    QCOMPARE(methods, expected);
}

void tst_ShellWindow::applicationEventsAfterInitialization()
{
    const QString first = QStringLiteral("/courses/first.kel");
    const QString second = QStringLiteral("/courses/second.kel");
    const QStringList urls{QUrl::fromLocalFile(first).toString(),
                           QUrl::fromLocalFile(second).toString()};
    Run run;
    QString error;
    QVERIFY2(run.setUp({{"mode", "events"}, {"urls", urls}}, QString(), &error),
             qPrintable(error));
    run.start({"--open-uri=" + first});
    if (!run.server().waitForMessage("ready", kStartMs))
        QFAIL(qPrintable(run.failure("the page did not load")));

    // A second instance hands its URI over and ends.
    QScopedPointer<QProcess> secondInstance(
        startShell(run.app(), run.display(), {"--open-uri=" + second}));
    const RunResult handedOver = finishShell(secondInstance.data(), kStepMs);
    QVERIFY2(handedOver.exitCode == 0, handedOver.output.constData());
    QVERIFY(run.server().messages().filter(QRegularExpression("^event ")).isEmpty());

    // The close notice tells the page to initialise the plugin now.
    QVERIFY(runXwintool(run.display(), "close", run.pid()));
    const RunResult result = run.finish();
    QVERIFY2(result.exitCode == 0, qPrintable(run.failure()));
    const QStringList events = run.server().messages().filter(QRegularExpression("^event "));
    QCOMPARE(events, (QStringList{"event " + urls.at(0), "event " + urls.at(1)}));
}

QTEST_GUILESS_MAIN(tst_ShellWindow)
#include "tst_shellwindow.moc"
