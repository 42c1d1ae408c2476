// Command-line merging, the instance ID's session part, URL protocol registration.

#include "app/mergedarguments.h"
#include "app/sessionid.h"
#include "app/urlprotocols.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <vector>

class tst_StartupHelpers : public QObject
{
    Q_OBJECT

private slots:
    void mergeArguments_data();
    void mergeArguments();

    void sessionId_data();
    void sessionId();

    void protocolEntries();
    void execQuoting_data();
    void execQuoting();
};

void tst_StartupHelpers::mergeArguments_data()
{
    QTest::addColumn<QStringList>("given");
    QTest::addColumn<QStringList>("expected");
    const QString extra = QStringLiteral("--disable-web-security");
    const QString prog = QStringLiteral("/opt/Tamberlin");

    QTest::newRow("present in another letter case: no second copy")
        << QStringList{prog, QStringLiteral("--Disable-WEB-Security"), QStringLiteral("x")}
        << QStringList{prog, QStringLiteral("--Disable-WEB-Security"), QStringLiteral("x")};
    QTest::newRow("a longer argument is not the switch")
        << QStringList{prog, extra + QStringLiteral("=1")}
        << QStringList{prog, extra + QStringLiteral("=1"), extra};
}

void tst_StartupHelpers::mergeArguments()
{
    QFETCH(QStringList, given);
    QFETCH(QStringList, expected);
    std::vector<QByteArray> storage;
    std::vector<char *> argv;
    for (const QString &argument : given)
        storage.push_back(argument.toLocal8Bit());
    for (QByteArray &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    MergedArguments merged(int(given.size()), argv.data());
    QCOMPARE(merged.toStringList(), expected);
    QCOMPARE(merged.argc(), expected.size());
}

void tst_StartupHelpers::sessionId_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<QString>("expected");
    QTest::newRow("lower-case hexadecimal") << QByteArray("255\n") << QStringLiteral("ff");
    QTest::newRow("unset audit session counts as a failed query") << QByteArray("4294967295") << QString();
    QTest::newRow("no such file") << QByteArray() << QString();
}

void tst_StartupHelpers::sessionId()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("sessionid"));
    if (!content.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    QCOMPARE(logonSessionIdFromFile(path), expected);
}

void tst_StartupHelpers::protocolEntries()
{
    QTemporaryDir dir;
    const QString apps = dir.filePath(QStringLiteral("applications"));
    const QString program = QStringLiteral("/opt/Tamberlin/Tamberlin");

    QTest::ignoreMessage(QtWarningMsg, "Ignoring URL protocol with invalid name '../evil'");
    const QStringList written = UrlProtocols::registerProtocols(
        QStringLiteral("tamberlin ../evil Kel.Course"), apps, program);
    QCOMPARE(written, (QStringList{apps + QStringLiteral("/tamberlin-tamberlin.desktop"),
                                   apps + QStringLiteral("/tamberlin-kel.course.desktop")}));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList());  // nothing escaped

    QFile entry(written.first());
    QVERIFY(entry.open(QIODevice::ReadOnly));
    QCOMPARE(entry.readAll(), UrlProtocols::desktopEntry(QStringLiteral("tamberlin"), program));

    // A second start with the same program rewrites nothing; a moved program does.
    QVERIFY(UrlProtocols::registerProtocols(QStringLiteral("tamberlin"), apps, program).isEmpty());
    QCOMPARE(UrlProtocols::registerProtocols(QStringLiteral("tamberlin"), apps,
                                             QStringLiteral("/new/place/Tamberlin"))
                 .size(),
             1);
}

void tst_StartupHelpers::execQuoting_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QByteArray>("exec");
    QTest::newRow("quote, dollar and backtick escaped")
        << QStringLiteral("/opt/a\"b$c`d/T")
        << QByteArray("Exec=\"/opt/a\\\\\"b\\\\$c\\\\`d/T\" --open-uri=%u\n");
    QTest::newRow("percent doubled, not a field code")
        << QStringLiteral("/opt/100%u/T") << QByteArray("Exec=\"/opt/100%%u/T\" --open-uri=%u\n");
    QTest::newRow("line break cannot start a new key")
        << QStringLiteral("/opt/a\nMimeType=x/T")
        << QByteArray("Exec=\"/opt/a MimeType=x/T\" --open-uri=%u\n");
}

void tst_StartupHelpers::execQuoting()
{
    QFETCH(QString, program);
    QFETCH(QByteArray, exec);
    const QByteArray entry = UrlProtocols::desktopEntry(QStringLiteral("tamberlin"), program);
    QVERIFY2(entry.contains("\n" + exec), entry.constData());
    QCOMPARE(entry.count("\nMimeType="), 1);
}

QTEST_GUILESS_MAIN(tst_StartupHelpers)
#include "tst_startuphelpers.moc"
