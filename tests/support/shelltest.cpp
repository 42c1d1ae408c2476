#include "shelltest.h"
#include "damagearchive.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimer>
#include <QUrlQuery>
#include <QWebChannel>

#include <unistd.h>

namespace ShellTest {

QString sourceDir() { return QStringLiteral(TAMBERLIN_SOURCE_DIR); }

namespace {

QString coursesDir() { return sourceDir() + QStringLiteral("/tests/courses"); }

// The home and XDG folders of the runs: variable, folder under AppFolder::root().
const QList<QPair<const char *, const char *>> kRunFolders = {
    {"HOME", "home"},          {"TMPDIR", "tmp"},          {"XDG_CONFIG_HOME", "config"},
    {"XDG_DATA_HOME", "data"}, {"XDG_CACHE_HOME", "cache"}, {"XDG_STATE_HOME", "state"},
    {"XDG_RUNTIME_DIR", "runtime"}};

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

bool runTool(const QString &program, const QStringList &args, QString *error,
             const QString &workingDirectory = {})
{
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    if (process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0)
        return true;
    return fail(error, QStringLiteral("%1 %2 failed: %3")
                           .arg(program, args.join(QLatin1Char(' ')),
                                QString::fromLocal8Bit(process.readAll())));
}

// Copies what is under from into to, replacing files of the same name.
bool copyTree(const QString &from, const QString &to, QString *error)
{
    if (!QFileInfo(from).isDir())
        return fail(error, QStringLiteral("no such folder: %1").arg(from));
    if (!QDir().mkpath(to))
        return fail(error, QStringLiteral("cannot create %1").arg(to));
    return runTool(QStringLiteral("cp"), {QStringLiteral("-Rf"), from + QStringLiteral("/."), to},
                   error);
}

// Zips folder with Info-ZIP, as course authors do, its name as the top folder;
// a password encrypts every entry with the traditional zip cipher.
bool zipFolder(const QString &folder, const QString &zipPath, const QByteArray &password,
               QString *error)
{
    QStringList args{QStringLiteral("-q"), QStringLiteral("-r"), QStringLiteral("-D")};
    if (!password.isEmpty())
        args << QStringLiteral("-P") << QString::fromUtf8(password);
    args << zipPath << QFileInfo(folder).fileName();
    return runTool(QStringLiteral("zip"), args, error, QFileInfo(folder).path());
}

} // namespace

Xvfb::~Xvfb()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool Xvfb::start(QString *error)
{
    // -displayfd: the server writes its free display's number once it accepts clients.
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    const QString args = QStringLiteral("-displayfd 1 -screen 0 1280x1024x24 -nolisten tcp -noreset");
    m_process.start(QStringLiteral("Xvfb"), args.split(QLatin1Char(' ')));
    if (!m_process.waitForStarted(10000))
        return fail(error, QStringLiteral("Xvfb did not start: %1").arg(m_process.errorString()));
    const QDeadlineTimer deadline(30000);
    while (!m_process.canReadLine() && m_process.waitForReadyRead(int(deadline.remainingTime()))) {
    }
    const QByteArray number = m_process.readLine().trimmed();
    if (number.isEmpty())
        return fail(error, QStringLiteral("Xvfb gave no display: %1")
                               .arg(QString::fromLocal8Bit(m_process.readAllStandardError())));
    m_display = QLatin1Char(':') + QString::fromLatin1(number);
    return true;
}

AppFolder::AppFolder()
{
    if (m_dir.isValid()) {
        QDir().mkpath(path());
        for (const auto &folder : kRunFolders)
            QDir().mkpath(root() + QLatin1Char('/') + QLatin1String(folder.second));
        QFile::setPermissions(root() + QStringLiteral("/runtime"),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                  | QFileDevice::ExeOwner);
    }
}

QString AppFolder::path() const { return m_dir.path() + QStringLiteral("/app"); }
QString AppFolder::binary() const { return path() + QStringLiteral("/Tamberlin"); }
QString AppFolder::root() const { return m_dir.path() + QStringLiteral("/run"); }

QString AppFolder::logFile() const
{
    return root() + QStringLiteral("/data/Kelvane/Tamberlin/appLogs.txt");
}

bool AppFolder::installBinary()
{
    // The program and its media module, as the package installs them.
    for (const QString &file : {QStringLiteral(TAMBERLIN_EXE), QStringLiteral(TAMBERLIN_MEDIA_MODULE)}) {
        const QString target = path() + QLatin1Char('/') + QFileInfo(file).fileName();
        QFile::remove(target);
        if (!QFile::copy(file, target))
            return fail(&m_error, QStringLiteral("cannot copy %1").arg(file));
    }
    return true;
}

bool AppFolder::packCourse(const QString &courseDir, Format format, const QVariantMap &testConfig,
                           const QString &archiveName, const QByteArray &zipPassword)
{
    const QString stage = m_dir.path() + QStringLiteral("/stage/webapp");
    QDir(stage).removeRecursively();
    if ((!m_baseCourse.isEmpty() && !copyTree(m_baseCourse, stage, &m_error))
        || !copyTree(courseDir, stage, &m_error)
        || !copyTree(coursesDir() + QStringLiteral("/common"), stage + QStringLiteral("/common"),
                     &m_error))
        return false;

    // Qt's own qwebchannel.js from the WebChannel resources (the class keeps
    // the library loaded), and the page client library for courses to import.
    const QWebChannel keepLoaded;
    Q_UNUSED(keepLoaded)
    for (const QString &file : {QStringLiteral(":/qtwebchannel/qwebchannel.js"),
                                sourceDir() + QStringLiteral("/sdk/tamberlin.js")}) {
        const QString target = stage + QStringLiteral("/common/") + QFileInfo(file).fileName();
        QFile::remove(target);
        if (!QFile::copy(file, target))
            return fail(&m_error, QStringLiteral("cannot copy %1").arg(file));
    }

    QFile config(stage + QStringLiteral("/config.js"));
    if (!config.open(QIODevice::WriteOnly))
        return fail(&m_error, config.errorString());
    config.write("window.TEST_CONFIG = "
                 + QJsonDocument(QJsonObject::fromVariantMap(testConfig)).toJson(QJsonDocument::Compact)
                 + ";\n");
    config.close();

    // testConfig "generated": {"sub/big.txt": 2000000, ...} writes files of
    // that many characters, lines of nine digits counting from 0.
    const QVariantMap generated = testConfig.value(QStringLiteral("generated")).toMap();
    for (auto it = generated.cbegin(); it != generated.cend(); ++it) {
        const int size = it.value().toInt();
        QByteArray text;
        text.reserve(size + 10);
        for (int line = 0; text.size() < size; ++line)
            text += QByteArray::number(line).rightJustified(9, '0') + '\n';
        text.truncate(size);
        QFile file(stage + QLatin1Char('/') + it.key());
        if (!QDir().mkpath(QFileInfo(file).absolutePath()) || !file.open(QIODevice::WriteOnly)
            || file.write(text) != text.size())
            return fail(&m_error, QStringLiteral("cannot generate %1").arg(file.fileName()));
    }

    const QString archive = path() + QLatin1Char('/') + archiveName;
    QFile::remove(archive);
    switch (format) {
    case Kelcab:
        return runTool(QStringLiteral(KELCAB_EXE), {QStringLiteral("pack"), stage, archive}, &m_error);
    case Zip:
        return zipFolder(stage, archive, zipPassword, &m_error);
    case Loose:
        return copyTree(stage, path() + QStringLiteral("/webapp"), &m_error);
    }
    return false;
}

bool AppFolder::writeConfig(const QString &iniText)
{
    QFile file(path() + QStringLiteral("/kelshell.config"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(&m_error, file.errorString());
    file.write(iniText.toUtf8());
    return true;
}

QProcessEnvironment AppFolder::environment(const QString &display) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto &folder : kRunFolders)
        env.insert(QLatin1String(folder.first),
                   root() + QLatin1Char('/') + QLatin1String(folder.second));
    env.insert(QStringLiteral("DISPLAY"), display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    if (::geteuid() == 0)
        env.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
    return env;
}

bool ReportServer::waitForMessage(const QString &text, int timeoutMs, bool prefix)
{
    const auto found = [&] {
        return std::any_of(m_messages.cbegin(), m_messages.cend(), [&](const QString &m) {
            return prefix ? m.startsWith(text) : m == text;
        });
    };
    QEventLoop loop;
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    const auto c = connect(this, &ReportServer::message, &loop, [&] {
        if (found())
            loop.quit();
    });
    if (!found())
        loop.exec();
    disconnect(c);
    return found();
}

void ReportServer::release(const QString &name)
{
    m_released.insert(name);
    const auto sockets = m_waiting.values(name);
    m_waiting.remove(name);
    for (const QPointer<QTcpSocket> &socket : sockets)
        if (socket)
            writeHttpAnswer(socket, 200, "go");
}

void ReportServer::handle(QTcpSocket *socket, const HttpRequest &request)
{
    const QString path = request.target.path();
    if (request.method == "POST" && path == QLatin1String("/log")) {
        const QString text = QString::fromUtf8(request.body);
        m_messages.append(text);
        writeHttpAnswer(socket, 200);
        emit message(text);
    } else if (request.method == "GET" && path == QLatin1String("/wait")) {
        const QString name = QUrlQuery(request.target).queryItemValue(QStringLiteral("name"));
        if (m_released.contains(name))
            writeHttpAnswer(socket, 200, "go");
        else
            m_waiting.insert(name, socket);
    } else {
        writeHttpAnswer(socket, 200);
    }
}

QProcess *startShell(const AppFolder &app, const QString &display, const QStringList &args,
                     QObject *parent)
{
    auto *process = new QProcess(parent);
    process->setProcessEnvironment(app.environment(display));
    process->setWorkingDirectory(app.path());
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(app.binary(), args);
    return process;
}

RunResult finishShell(QProcess *process, int timeoutMs)
{
    RunResult result;
    // waitForFinished is false for a process that has already ended.
    if (process->state() != QProcess::NotRunning && !process->waitForFinished(timeoutMs)) {
        result.timedOut = true;
        process->kill();
        process->waitForFinished(10000);
    }
    result.crashed = process->exitStatus() != QProcess::NormalExit;
    result.exitCode = result.timedOut || result.crashed ? -1 : process->exitCode();
    result.output = process->readAll();
    return result;
}

RunResult awaitShell(QProcess *process, int timeoutMs)
{
    QEventLoop loop;
    QObject::connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                     &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (process->state() != QProcess::NotRunning)
        loop.exec();
    return finishShell(process, 1);
}

QString describeFailure(const AppFolder &app, const ReportServer *server, const RunResult &result)
{
    QString text;
    text += QStringLiteral("exit code %1%2%3\n")
                .arg(result.exitCode)
                .arg(result.timedOut ? QStringLiteral(" (timed out)") : QString())
                .arg(result.crashed ? QStringLiteral(" (crashed)") : QString());
    if (server) {
        text += QStringLiteral("--- page messages ---\n");
        for (const QString &m : server->messages())
            text += m + QLatin1Char('\n');
    }
    text += QStringLiteral("--- program output ---\n") + QString::fromLocal8Bit(result.output);
    QFile log(app.logFile());
    if (log.open(QIODevice::ReadOnly))
        text += QStringLiteral("--- appLogs.txt ---\n") + QString::fromUtf8(log.readAll());
    else
        text += QStringLiteral("--- no appLogs.txt at %1 ---\n").arg(app.logFile());
    return text;
}

bool Session::setUp(const QString &course, const QVariantMap &testConfig,
                    AppFolder::Format format, const QString &config,
                    const QByteArray &zipPassword)
{
    if (!app.isValid() || !server.listen() || !xvfb.start(&error))
        return false;
    QVariantMap pageConfig = testConfig;
    pageConfig.insert(QStringLiteral("report"), server.url());
    const bool ok = app.installBinary()
        && app.packCourse(QDir(coursesDir()).filePath(course), format, pageConfig,
                          QStringLiteral("data.bin"), zipPassword)
        && (config.isEmpty() || app.writeConfig(config));
    if (!ok)
        error = app.lastError();
    return ok;
}

QProcess *Session::start(const QStringList &args)
{
    process.reset(startShell(app, xvfb.display(), args));
    return process.data();
}

RunResult Session::finish(int timeoutMs)
{
    result = awaitShell(process.data(), timeoutMs);
    return result;
}

QString Session::failure(const QString &what)
{
    if (process && process->state() != QProcess::NotRunning)
        finish(1);
    return what + QLatin1Char('\n') + describeFailure(app, &server, result);
}

QString runCourse(const CourseRun &run)
{
    Session session;
    AppFolder &app = session.app;
    QVariantMap testConfig = run.testConfig;
    // Media made at test time (tests/with-pulse.sh) for the page to copy in.
    const QString media = qEnvironmentVariable("TAMBERLIN_TEST_MEDIA");
    if (!media.isEmpty())
        testConfig.insert(QStringLiteral("media"), media);
    testConfig.insert(QStringLiteral("run"), 1);
    app.setBaseCourse(run.baseCourse);
    if (!session.setUp(run.course, testConfig, run.format, run.config, run.zipPassword))
        return QStringLiteral("set-up failed: %1").arg(session.error);
    testConfig.insert(QStringLiteral("report"), session.server.url());

    // testConfig "damage": {"entry": archive path, "page": n (kelcab) or
    // "fraction": f (zip)} damages that entry of the packed archive.
    const QVariantMap damage = testConfig.value(QStringLiteral("damage")).toMap();
    if (!damage.isEmpty()) {
        const QString archive = app.path() + QStringLiteral("/data.bin");
        const QString entry = damage.value(QStringLiteral("entry")).toString();
        QString error;
        const bool damaged = run.format == AppFolder::Zip
            ? DamageArchive::damageZipEntry(archive, entry,
                                            damage.value(QStringLiteral("fraction"), 0.75).toDouble(),
                                            &error)
            : DamageArchive::damageKelcabPage(archive, entry,
                                              damage.value(QStringLiteral("page")).toInt(), &error);
        if (!damaged)
            return QStringLiteral("set-up failed: %1").arg(error);
    }

    for (int i = 1; i <= qMax(1, run.runs); ++i) {
        testConfig.insert(QStringLiteral("run"), i);
        if (i > 1 && !app.packCourse(coursesDir() + QLatin1Char('/') + run.course, run.format,
                                     testConfig, QStringLiteral("data.bin"), run.zipPassword))
            return QStringLiteral("set-up failed: %1").arg(app.lastError());
        session.start(run.dev ? QStringList{QStringLiteral("--dev"), app.path() + QStringLiteral("/webapp")}
                              : QStringList());
        // Exit code 0 alone could be a quit after a renderer crash: the page must say done.
        if (session.finish(90000).exitCode != 0
            || session.server.messages().count(QStringLiteral("done 0 failure(s)")) != i)
            return session.failure();
    }
    // testConfig "expectLog": a pattern that exactly one line of the log matches.
    const QString expected = testConfig.value(QStringLiteral("expectLog")).toString();
    if (!expected.isEmpty()) {
        QFile log(app.logFile());
        const QString text = log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
        const int lines = text.split(QLatin1Char('\n')).filter(QRegularExpression(expected)).size();
        if (lines != 1)
            return session.failure(
                QStringLiteral("%1 log lines match \"%2\"").arg(lines).arg(expected));
    }
    return {};
}

} // namespace ShellTest
