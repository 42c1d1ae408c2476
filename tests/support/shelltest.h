#pragma once

// End-to-end support: a private X server, an application folder with a copy
// of the real program and its course, a report server for the page, runners.

#include "httptestserver.h"

#include <QMultiHash>
#include <QPointer>
#include <QProcess>
#include <QScopedPointer>
#include <QSet>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QVariantMap>

namespace ShellTest {

QString sourceDir();

class Xvfb
{
public:
    ~Xvfb();

    // Starts a server on a free display; waits (30 s) until it accepts clients.
    bool start(QString *error = nullptr);
    QString display() const { return m_display; }

private:
    QProcess m_process;
    QString m_display;
};

class AppFolder
{
public:
    enum Format { Kelcab, Zip, Loose };

    AppFolder();
    bool isValid() const { return m_dir.isValid(); }

    QString path() const;        // the application folder
    QString binary() const;      // path()/Tamberlin
    QString root() const;        // folder holding home/, tmp/, xdg dirs of the runs
    QString logFile() const;     // appLogs.txt written by runs in environment()

    bool installBinary();
    // Copies courseDir as "webapp" with tests/courses/common and a config.js
    // holding TEST_CONFIG, and packs it (Loose: copies it beside the program).
    bool packCourse(const QString &courseDir, Format format = Kelcab,
                    const QVariantMap &testConfig = {},
                    const QString &archiveName = QStringLiteral("data.bin"),
                    const QByteArray &zipPassword = {});
    // A folder copied under the course first (a test page on a real course).
    void setBaseCourse(const QString &dir) { m_baseCourse = dir; }
    bool writeConfig(const QString &iniText);
    QProcessEnvironment environment(const QString &display) const;

    QString lastError() const { return m_error; }

private:
    QTemporaryDir m_dir;
    QString m_error;
    QString m_baseCourse;
};

// HTTP on 127.0.0.1 for the page's findings: each POST body to /log is one message.
class ReportServer : public HttpTestServer
{
    Q_OBJECT
public:
    using HttpTestServer::HttpTestServer;
    QStringList messages() const { return m_messages; }
    // Waits (with a deadline) for a message equal to text, or starting with it.
    bool waitForMessage(const QString &text, int timeoutMs, bool prefix = false);
    // Answers the page's pending and future GET /wait?name=<name>.
    void release(const QString &name);

signals:
    void message(const QString &text);

protected:
    void handle(QTcpSocket *socket, const HttpRequest &request) override;

private:
    QStringList m_messages;
    QSet<QString> m_released;
    QMultiHash<QString, QPointer<QTcpSocket>> m_waiting;
};

struct RunResult
{
    int exitCode = -1;
    bool timedOut = false;
    bool crashed = false;
    QByteArray output;
};

QProcess *startShell(const AppFolder &app, const QString &display,
                     const QStringList &args = {}, QObject *parent = nullptr);
// Waits for a started shell with a deadline; kills it when the deadline passes.
RunResult finishShell(QProcess *process, int timeoutMs);
// The same with the event loop running, so a ReportServer keeps answering.
RunResult awaitShell(QProcess *process, int timeoutMs);

// The page's messages, the program's output and its log file, for QFAIL.
QString describeFailure(const AppFolder &app, const ReportServer *server,
                        const RunResult &result);

// One program run: folder, report server (TEST_CONFIG.report), display, course
// (a folder under tests/courses, or an absolute path).
class Session
{
public:
    bool setUp(const QString &course, const QVariantMap &testConfig = {},
               AppFolder::Format format = AppFolder::Kelcab,
               const QString &config = QStringLiteral("[wrapper]\narchiveManager=kelcab\n"),
               const QByteArray &zipPassword = {});
    QProcess *start(const QStringList &args = {});
    // awaitShell of the started program.
    RunResult finish(int timeoutMs);
    // describeFailure of the run, after `what`; ends a program still running.
    QString failure(const QString &what = {});
    qint64 pid() const { return process ? process->processId() : -1; }

    AppFolder app;
    ReportServer server;
    Xvfb xvfb;
    QScopedPointer<QProcess> process;
    RunResult result;
    QString error;
};

// Runs one course end to end: empty when the page exits with 0 failures,
// else the failure description.
struct CourseRun
{
    QString course;                // folder name under tests/courses
    QString baseCourse;            // optional folder copied under it
    AppFolder::Format format = AppFolder::Kelcab;
    QString config;                // kelshell.config text, empty = none
    QVariantMap testConfig;
    QByteArray zipPassword;
    // Runs over the same user data; the page finds the run (from 1) in TEST_CONFIG.run.
    int runs = 1;
    bool dev = false;              // loose files run with --dev (format Loose)
};
QString runCourse(const CourseRun &run);

} // namespace ShellTest
