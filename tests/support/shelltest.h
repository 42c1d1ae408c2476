#pragma once

// Support for end-to-end tests: a private X server, a temporary application
// folder holding a copy of the real program with its own content archive and
// configuration, a local report server for the page, and process runners.

#include <QMultiHash>
#include <QPointer>
#include <QProcess>
#include <QScopedPointer>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QVariantMap>

namespace ShellTest {

// Absolute paths of the built program and archive tool.
QString tamberlinExecutable();
QString kelcabExecutable();
QString sourceDir();
QString coursesDir(); // tests/courses

class Xvfb
{
public:
    ~Xvfb();

    // Starts a server on a free display and waits (deadline 30 s) until it
    // accepts clients.
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
    // Copies courseDir as "webapp" (plus tests/courses/common as
    // webapp/common), writes webapp/config.js with TEST_CONFIG and packs it.
    // Loose copies the folder beside the program instead of packing.
    bool packCourse(const QString &courseDir, Format format = Kelcab,
                    const QVariantMap &testConfig = {},
                    const QString &archiveName = QStringLiteral("data.bin"),
                    const QByteArray &zipPassword = {});
    // A folder copied under the course before it (the course's files win):
    // lets a test page sit on top of a real course.
    void setBaseCourse(const QString &dir) { m_baseCourse = dir; }
    bool writeConfig(const QString &iniText);
    QProcessEnvironment environment(const QString &display) const;

    QString lastError() const { return m_error; }

private:
    QTemporaryDir m_dir;
    QString m_error;
    QString m_baseCourse;
};

// Zips folder (its own name included as the top-level folder) with QuaZip;
// a non-empty password encrypts every entry.
bool zipFolder(const QString &folder, const QString &zipPath, const QByteArray &password,
               QString *error = nullptr);

// HTTP/1.1 on 127.0.0.1 for the page's findings: every POST body to /log is
// one message. Answers with permissive CORS headers.
class ReportServer : public QObject
{
    Q_OBJECT
public:
    explicit ReportServer(QObject *parent = nullptr);
    bool listen();
    QString url() const;
    QStringList messages() const { return m_messages; }
    // Waits until a message equal to text (or starting with it when prefix)
    // arrives, with a deadline.
    bool waitForMessage(const QString &text, int timeoutMs, bool prefix = false);
    // Releases the page's pending and future GET /wait?name=<name> requests:
    // the page blocks on a fetch until the test says go, with no polling.
    void release(const QString &name);

signals:
    void message(const QString &text);

private:
    void onConnection();
    void answer(QTcpSocket *socket, const QByteArray &body = {});
    QTcpServer m_server;
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
// The same, but keeps this thread's event loop running meanwhile, so that a
// ReportServer goes on answering the page until the program ends.
RunResult awaitShell(QProcess *process, int timeoutMs);

// The page's messages, the program's output and its log file, for QFAIL.
QString describeFailure(const AppFolder &app, const ReportServer *server,
                        const RunResult &result);

// One program run for tests that drive it themselves: folder, report server
// (its address in TEST_CONFIG.report) and display, the course packed.
class Session
{
public:
    bool setUp(const QString &course, const QVariantMap &testConfig = {},
               AppFolder::Format format = AppFolder::Kelcab,
               const QString &config = QStringLiteral("[wrapper]\narchiveManager=kelcab\n"),
               const QByteArray &zipPassword = {});
    QProcess *start(const QStringList &args = {});
    // Waits for the program with the event loop running (the server keeps
    // answering); kills it when the deadline passes.
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

// Runs one course end to end: fresh folder, archive, optional config, report
// server, Xvfb; passes when the page exits with 0 failures.
struct CourseRun
{
    QString course;                // folder name under tests/courses
    QString baseCourse;            // optional folder copied under it
    AppFolder::Format format = AppFolder::Kelcab;
    QString config;                // kelshell.config text, empty = none
    QVariantMap testConfig;
    QByteArray zipPassword;
    // Runs the program this many times over the same folder and user data;
    // the page finds the run's number (from 1) in TEST_CONFIG.run.
    int runs = 1;
};
// Returns an empty string on success, else the failure description.
QString runCourse(const CourseRun &run);

} // namespace ShellTest
