// Configuration file: the archive path and the local-storage folder.

#include "app/localstorage.h"
#include "app/pathsmanager.h"
#include "app/settingsmanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class tst_Settings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void configuration_data();
    void configuration();
};

void tst_Settings::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Tamberlin"));
}

void tst_Settings::configuration_data()
{
    QTest::addColumn<QByteArray>("config"); // empty: no file
    QTest::addColumn<QString>("archive");
    QTest::addColumn<QString>("folder");
    const QDir appDir(QCoreApplication::applicationDirPath());
    QTest::newRow("no configuration: data.bin beside the program, \"storage\"")
        << QByteArray() << appDir.absoluteFilePath(QStringLiteral("data.bin"))
        << QStringLiteral("storage");
    QTest::newRow("relative archive in a sub-folder, configured folder")
        << QByteArray("[wrapper]\narchivePath=content/course.bin\n[storage]\npath=courseData\n")
        << appDir.absoluteFilePath(QStringLiteral("content/course.bin"))
        << QStringLiteral("courseData");
    QTest::newRow("absolute archive, empty folder: root and one slash")
        << QByteArray("[wrapper]\narchivePath=/srv/courses/c.bin\n[storage]\npath=\n")
        << QStringLiteral("/srv/courses/c.bin") << QString();
}

void tst_Settings::configuration()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, archive);
    QFETCH(QString, folder);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString configPath = dir.filePath(QStringLiteral("kelshell.config"));
    if (!config.isEmpty()) {
        QFile file(configPath);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(config) == config.size());
    }
    SettingsManager::instance()->reload(configPath);
    QCOMPARE(SettingsManager::instance()->archiveFilePath(), archive);

    PathsManager *paths = PathsManager::instance();
    const QString root = dir.filePath(QStringLiteral("root"));
    paths->set(QStringLiteral("localStorageRootPath"), root);
    paths->set(QStringLiteral("contentsPath"), dir.filePath(QStringLiteral("deep/contents")));

    LocalStorage::prepare();

    QCOMPARE(paths->get(QStringLiteral("localStoragePath")), root + QLatin1Char('/') + folder);
    QVERIFY(QFileInfo(paths->get(QStringLiteral("localStoragePath"))).isDir());
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("deep/contents"))).isDir());
    QCOMPARE(LocalStorage::join(QStringLiteral("/r"), QStringLiteral("/abs")),
             QStringLiteral("/r//abs"));
}

QTEST_GUILESS_MAIN(tst_Settings)
#include "tst_settings.moc"
