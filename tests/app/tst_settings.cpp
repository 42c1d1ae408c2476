// Configuration file, named paths and the local-storage folder.

#include "app/localstorage.h"
#include "app/pathsmanager.h"
#include "app/settingsmanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

class tst_Settings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void archivePath_data();
    void archivePath();
    void localStorage_data();
    void localStorage();

private:
    bool writeConfig(const QByteArray &text);
    QTemporaryDir *m_dir = nullptr;
    QString m_config;
};

void tst_Settings::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Tamberlin"));
}

void tst_Settings::init()
{
    delete m_dir;
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    m_config = m_dir->filePath(QStringLiteral("kelshell.config"));
    SettingsManager::instance()->reload(m_config);
}

bool tst_Settings::writeConfig(const QByteArray &text)
{
    QFile file(m_config);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        return false;
    file.close();
    SettingsManager::instance()->reload(m_config);
    return true;
}

void tst_Settings::archivePath_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("expected");
    const QDir appDir(QCoreApplication::applicationDirPath());
    // Without configuration: data.bin beside the program, as every real-page row runs.
    QTest::newRow("relative, in a sub-folder of the program's folder")
        << QByteArray("content/course.bin") << appDir.absoluteFilePath(QStringLiteral("content/course.bin"));
    QTest::newRow("absolute") << QByteArray("/srv/courses/c.bin")
                              << QStringLiteral("/srv/courses/c.bin");
}

void tst_Settings::archivePath()
{
    QFETCH(QByteArray, value);
    QFETCH(QString, expected);
    QVERIFY(writeConfig("[wrapper]\narchivePath=" + value + "\n"));
    QCOMPARE(SettingsManager::instance()->archiveFilePath(), expected);
}

void tst_Settings::localStorage_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("folder");
    QTest::newRow("no configuration: \"storage\"") << QByteArray() << QStringLiteral("storage");
    QTest::newRow("configured folder") << QByteArray("[storage]\npath=courseData\n") << QStringLiteral("courseData");
    QTest::newRow("empty value: root and one slash") << QByteArray("[storage]\npath=\n") << QString();
}

void tst_Settings::localStorage()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, folder);
    if (!config.isEmpty())
        QVERIFY(writeConfig(config));
    PathsManager *paths = PathsManager::instance();
    const QString oldRoot = paths->get(QStringLiteral("localStorageRootPath"));
    const QString oldContents = paths->get(QStringLiteral("contentsPath"));
    const auto restore = qScopeGuard([&] {
        paths->set(QStringLiteral("localStorageRootPath"), oldRoot);
        paths->set(QStringLiteral("contentsPath"), oldContents);
    });
    const QString root = m_dir->filePath(QStringLiteral("root"));
    paths->set(QStringLiteral("localStorageRootPath"), root);
    paths->set(QStringLiteral("contentsPath"), m_dir->filePath(QStringLiteral("deep/contents")));

    LocalStorage::prepare();

    QCOMPARE(paths->get(QStringLiteral("localStoragePath")), root + QLatin1Char('/') + folder);
    QVERIFY(QFileInfo(paths->get(QStringLiteral("localStoragePath"))).isDir());
    QVERIFY(QFileInfo(m_dir->filePath(QStringLiteral("deep/contents"))).isDir());
    QCOMPARE(LocalStorage::join(QStringLiteral("/r"), QStringLiteral("/abs")),
             QStringLiteral("/r//abs"));
}

QTEST_GUILESS_MAIN(tst_Settings)
#include "tst_settings.moc"
