// The application object: log file, open-URI arguments turned into
// application events, window raising, archive errors during event delivery.

#include "app/qmlevent.h"
#include "app/shellapplication.h"
#include "content/archiveexception.h"

#include <QFileOpenEvent>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWindow>
#include <QtTest>

#include <memory>

namespace {

class Thrower : public QObject
{
public:
    int seen = 0;
    bool event(QEvent *e) override
    {
        if (e->type() == QEvent::User) {
            ++seen;
            throw ArchiveException(7, QStringLiteral("entry /webapp/a.js is damaged"));
        }
        return QObject::event(e);
    }
};

} // namespace

class tst_ShellApplication : public QObject
{
    Q_OBJECT

private slots:
    void processArguments_data();
    void processArguments();
    void onlyFirstWindowRaised();
    void archiveErrorDoesNotEndProgram();
};

void tst_ShellApplication::processArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QList<QUrl>>("urls");

    QTest::newRow("nothing after '=': no application event") << QStringList{QStringLiteral("--open-uri=")} << QList<QUrl>{};
    QTest::newRow("several, in order")
        << QStringList{QStringLiteral("--open-uri=/a"), QStringLiteral("x"),
                       QStringLiteral("--open-uri=/b")}
        << QList<QUrl>{QUrl::fromLocalFile(QStringLiteral("/a")),
                       QUrl::fromLocalFile(QStringLiteral("/b"))};
}

void tst_ShellApplication::processArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(QList<QUrl>, urls);

    auto *app = qobject_cast<ShellApplication *>(qApp);
    QVERIFY(app);
    QSignalSpy events(app, &ShellApplication::applicationEvent);
    app->processArguments(arguments);
    QCOMPARE(events.count(), 0);  // posted, not sent
    QCoreApplication::sendPostedEvents(app, QEvent::FileOpen);

    QCOMPARE(events.count(), urls.size());
    for (int i = 0; i < urls.size(); ++i) {
        const QMLEvent event = events.at(i).at(0).value<QMLEvent>();
        const QVariantMap data = event.data();
        QCOMPARE(data.value(QStringLiteral("className")).toString(),
                 QStringLiteral("QMLFileOpenEvent"));
        QCOMPARE(data.value(QStringLiteral("type")).toInt(), QMLFileOpenEvent::eventType());
        QCOMPARE(data.value(QStringLiteral("url")).toUrl(), urls.at(i));
    }
}

void tst_ShellApplication::onlyFirstWindowRaised()
{
    auto first = std::make_unique<QWindow>();
    auto second = std::make_unique<QWindow>();
    const QWindowList windows = QGuiApplication::topLevelWindows();
    QVERIFY(windows.indexOf(first.get()) < windows.indexOf(second.get()));
    for (QWindow *window : windows)
        QVERIFY(!window->isVisible());

    QFileOpenEvent open(QStringLiteral("/srv/lesson.kel"));
    QVERIFY(QCoreApplication::sendEvent(qApp, &open));
    QVERIFY(windows.first()->isVisible());
    for (int i = 1; i < windows.size(); ++i)
        QVERIFY(!windows.at(i)->isVisible());
}

void tst_ShellApplication::archiveErrorDoesNotEndProgram()
{
    // Delivered by the event loop, as a page's request is; the error is logged.
    Thrower thrower;
    QTest::ignoreMessage(QtCriticalMsg,
                         "Archive error, code: 7, message: entry /webapp/a.js is damaged.");
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QTRY_COMPARE(thrower.seen, 1);
    QCoreApplication::processEvents();
}

int main(int argc, char **argv)
{
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Tamberlin"));
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    // The log location derives from these: keep them inside the test's folder.
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toLocal8Bit());

    int count = argc;
    ShellApplication app(count, argv);

    tst_ShellApplication test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, count, argv);
}

#include "tst_shellapplication.moc"
