// The network plugin and the downloader against a local HTTP server.

#include "bridge/jsinterface.h"
#include "plugins/network/cnetwork.h"
#include "plugins/network/cstatuscheck.h"
#include "tests/support/httptestserver.h"
#include "tests/support/smallvolume.h"

#include <QElapsedTimer>

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class tst_Network : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void ajax_data();
    void ajax();
    void stalledDownloadTimesOut();
    void waitingDownloadReplaced();
    void downloadStoresOnlyWholeSuccess_data();
    void downloadStoresOnlyWholeSuccess();
    void onlineAndOffline_data();
    void onlineAndOffline();

private:
    // The data of the calls named name.
    QList<QVariantMap> sent(const QString &name) const
    {
        QList<QVariantMap> out;
        for (const QList<QVariant> &args : *m_spy)
            if (args.at(0).toString() == name)
                out.append(args.at(1).toMap());
        return out;
    }

    ShellTest::HttpTestServer m_server;
    QTemporaryDir m_temp;
    QScopedPointer<JSInterface> m_js;
    QScopedPointer<QSignalSpy> m_spy;
};

void tst_Network::initTestCase()
{
    QVERIFY(m_server.listen());
    QVERIFY(m_temp.isValid());
    // Nothing of a download may land here; cleanup() looks.
    qputenv("TMPDIR", m_temp.path().toLocal8Bit());
}

void tst_Network::init()
{
    m_js.reset(new JSInterface(nullptr));
    // The machine's online-state notice would stand before a row's answer.
    m_js->network()->disconnect(m_js.data());
    m_spy.reset(new QSignalSpy(m_js.data(), &JSInterface::invokeJSCall));
}

void tst_Network::cleanup()
{
    // Ended requests hold no reply, task or temporary file.
    if (m_js) {
        QTRY_COMPARE(m_js->network()->runningRequests(), 0);
        QCOMPARE(m_js->runningTaskCount(), 0);
    }
    m_spy.reset();
    m_js.reset();
    QCOMPARE(QDir(m_temp.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

void tst_Network::ajax_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QVariantMap>("settings");
    QTest::addColumn<QString>("callback");
    QTest::addColumn<QVariantMap>("expected"); // keys of the answer, besides uuid

    using Map = QVariantMap;
    auto row = [](const char *name, const char *path, const Map &settings, const char *callback,
                  const Map &expected) {
        QTest::newRow(name) << path << settings << callback << expected;
    };
    auto echo = [](const char *method, const char *body, const char *type) {
        return Map{{"code", 200},
                   {"response", Map{{"method", method}, {"body", body}, {"contentType", type}}}};
    };
    const Map get{{"method", "GET"}};
    auto error = [](int code, const QVariant &message) {
        return Map{{"code", code}, {"message", message}};
    };
    row("POST map body as JSON", "/echo", {{"method", "POST"}, {"data", Map{{"a", 1}}}},
        "ajaxResponse", echo("POST", "{\"a\":1}", "application/json"));
    row("PUT text body from type", "/echo", {{"type", "PUT"}, {"data", "x"}}, "ajaxResponse",
        echo("PUT", "x", "application/json"));
    row("method wins over type, own Content-Type", "/echo",
        {{"method", "PATCH"}, {"type", "POST"}, {"data", QVariantList{1, "b"}},
         {"headers", Map{{"Content-Type", "text/plain"}}}},
        "ajaxResponse", echo("PATCH", "[1,\"b\"]", "text/plain"));
    row("304 resolves", "/status?code=304", get, "ajaxResponse", {{"code", 304}, {"response", ""}});
    row("404 rejects with body", "/status?code=404&body=gone", get, "ajaxError", error(404, "gone"));
    row("500 JSON object body as object", "/status?code=500&body=%7B%22reason%22%3A%22x%22%7D",
        {{"method", "DELETE"}}, "ajaxError", error(500, Map{{"reason", "x"}}));
    row("list body as text, repeated header", "/cookies", get, "ajaxResponse",
        {{"code", 200}, {"response", "[1,2]"}});
    row("unknown method rejected, not sent", "/echo", {{"method", "get"}}, "ajaxError",
        error(-1, "unsupported HTTP method \"get\""));
    // Nothing listens on port 1.
    row("connection refused: no status, empty message", "http://127.0.0.1:1/", get, "ajaxError",
        error(0, ""));
}

void tst_Network::ajax()
{
    QFETCH(QString, path);
    QFETCH(QVariantMap, settings);
    QFETCH(QString, callback);
    QFETCH(QVariantMap, expected);

    m_js->ajax("u", path.startsWith("http:") ? path : m_server.url() + path, settings);
    QTRY_COMPARE_WITH_TIMEOUT(m_spy->count(), 1, 20000); // a loaded machine is slow
    QCOMPARE(m_spy->at(0).at(0).toString(), callback);
    QVariantMap data = m_spy->at(0).at(1).toMap();
    QCOMPARE(data.take("uuid").toString(), QStringLiteral("u"));
    const QVariantMap headers = data.take("headers").toMap();
    if (path == QLatin1String("/cookies"))
        QCOMPARE(headers.value("set-cookie").toString(), QStringLiteral("a=2"));
    QCOMPARE(data, expected);
}

// Headers, some data, then silence: a time-out alone ends it, with no abort.
void tst_Network::stalledDownloadTimesOut()
{
    QElapsedTimer clock;
    clock.start();
    m_js->downloadFile("d", m_server.url() + "/stall?size=100000&first=1000", m_temp.path(), "f");
    QTRY_COMPARE_WITH_TIMEOUT(sent("fileDownloadError").size(), 1, 30000);
    QVERIFY2(clock.elapsed() >= 12000 && clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(sent("fileDownloadError").first().value("code").toInt(), 4);
    QCOMPARE((QList<int>{sent("fileDownloadStart").size(), sent("fileDownloadAbort").size(),
                         sent("fileDownloadFinish").size()}), (QList<int>{1, 0, 0}));
}

// A second download replaces a waiting first, which writes nothing into its file.
void tst_Network::waitingDownloadReplaced()
{
    const QString dir = m_temp.filePath("out");
    m_js->downloadFile("a", m_server.url() + "/stall?size=100&first=0", dir, "a");
    m_js->downloadFile("b", m_server.url() + "/bytes?size=1000", dir, "b");
    QTRY_COMPARE_WITH_TIMEOUT(sent("fileDownloadFinish").size(), 1, 20000);
    QCOMPARE(sent("fileDownloadFinish").first().value("uuid").toString(), QStringLiteral("b"));
    const QList<QVariantMap> errors = sent("fileDownloadError");
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.first(), (QVariantMap{{"uuid", "a"}, {"file_name", "a"}, {"file_path", dir}, {"code", 5}}));
    QFile file(dir + "/b");
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), ShellTest::HttpTestServer::pattern(1000));
}

void tst_Network::downloadStoresOnlyWholeSuccess_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("code"); // 0: finished with pattern(1000); 602: onto a 1 MB volume
    QTest::addColumn<QString>("folder"); // of the download, in the row's folder
    QTest::newRow("three redirects to a 200") << "/redirect?hops=3&to=/bytes%3Fsize%3D1000" << 0 << "";
    QTest::newRow("21 redirects: too many") << "/redirect?hops=21&to=/bytes%3Fsize%3D1000" << 10 << "";
    QTest::newRow("redirect to a 404") << "/redirect?hops=1&to=/status%3Fcode%3D404%26body%3Dgone" << 203 << "";
    QTest::newRow("a final 300 is no file") << "/status?code=300&body=choices" << 300 << "";
    QTest::newRow("1.5 MB onto a 1 MB volume") << "/bytes?size=1500000" << 602 << "";
    QTest::newRow("folder under a file") << "/bytes?size=1000" << 602 << "f/sub";
}

// Only a whole download replaces the old file; otherwise it stays byte for
// byte, and nothing else is left beside it.
void tst_Network::downloadStoresOnlyWholeSuccess()
{
    QFETCH(QString, path);
    QFETCH(int, code);
    QFETCH(QString, folder);
    const QString dir = m_temp.filePath(QTest::currentDataTag());
    const QString into = folder.isEmpty() ? dir : dir + '/' + folder;
    QScopedPointer<ShellTest::SmallVolume> volume(code == 602 && folder.isEmpty() ? new ShellTest::SmallVolume(dir, "1m") : nullptr);
    if (volume && !volume->error().isEmpty())
        QSKIP(qPrintable(volume->error()));
    const QByteArray old(420000, 'o');
    QFile file(dir + "/f");
    QVERIFY(QDir().mkpath(dir) && file.open(QIODevice::WriteOnly) && file.write(old) == old.size());
    file.close();
    if (code == 602 || code == 300) // the log says what failed
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(code == 300   ? "HTTP status 300$"
                                                              : folder.isEmpty() ? "not stored: No space left on device$"
                                                                                 : "not stored: cannot create the folder"));
    m_js->downloadFile("d", m_server.url() + path, into, "f");
    QTRY_VERIFY_WITH_TIMEOUT(!sent("fileDownloadError").isEmpty() || !sent("fileDownloadFinish").isEmpty(), 20000);
    QVariantMap end{{"uuid", "d"}, {"file_name", "f"}, {"file_path", into}};
    end.insert(code ? "code" : "downloaded_path", code ? QVariant(code) : QVariant(dir + "/f"));
    QCOMPARE(sent("fileDownloadError") + sent("fileDownloadFinish"), QList<QVariantMap>{end});
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == (code ? old : ShellTest::HttpTestServer::pattern(1000)));
    QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList{"f"});
}

// The machine's state cannot be set here: a check that says what the row says.
struct FixedStatusCheck : IStatusCheck {
    explicit FixedStatusCheck(bool on) : online(on) {} bool online; bool isOnline() override { return online; } };

void tst_Network::onlineAndOffline_data()
{
    QTest::addColumn<bool>("online");
    QTest::newRow("online") << true;
    QTest::newRow("offline") << false;
}

// The status call's answer, and the notices (sent before any event can bring the machine's own).
void tst_Network::onlineAndOffline()
{
    QFETCH(bool, online);
    const QVariantMap status{{"status", online ? "online" : "offline"}};
    CNetwork network{QSharedPointer<IStatusCheck>(new FixedStatusCheck(online))};
    const QSharedPointer<Task::ITask> task = network.checkStatus();
    QSignalSpy resolved(task.data(), &Task::ITask::onResolved);
    task->start();
    QTRY_COMPARE(resolved.count(), 1);
    const auto answer = resolved.first().first().value<QSharedPointer<IResponse>>();
    QCOMPARE((QVariantList{answer->functionName, answer->toVariantMap()}),
             (QVariantList{"networkStatusChange", status}));
    JSInterface js(nullptr);
    QSignalSpy notices(&js, &JSInterface::invokeJSCall);
    emit js.network()->statusChange(!online);
    emit js.network()->statusChange(online);
    QCOMPARE(notices, (QList<QVariantList>{{"networkStatusChange", QVariantMap{{"status", online ? "offline" : "online"}}},
                                           {"networkStatusChange", status}}));
}

QTEST_GUILESS_MAIN(tst_Network)
#include "tst_network.moc"
