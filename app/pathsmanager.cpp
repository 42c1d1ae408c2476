#include "pathsmanager.h"

#include "singleton.h"

#include <QCoreApplication>
#include <QStandardPaths>

using namespace Constants::PathManager;

namespace {
QString firstLocation(QStandardPaths::StandardLocation location)
{
    const QStringList list = QStandardPaths::standardLocations(location);
    return list.isEmpty() ? QString() : list.first();
}
} // namespace

PathsManager *PathsManager::instance()
{
    return Singleton<PathsManager>::instance();
}

PathsManager::PathsManager()
{
    const QString home = firstLocation(QStandardPaths::HomeLocation);
    const QString downloads = firstLocation(QStandardPaths::DownloadLocation);
    const QString documents = firstLocation(QStandardPaths::DocumentsLocation);
    const QString appDir = QCoreApplication::applicationDirPath();
    const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    const QString appLocalData =
        QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    const QString webapp = QStringLiteral("/webapp/");
    const QString index = webapp + QStringLiteral("index.html");

    auto put = [this](_PathManager key, const QString &value) {
        m_paths.insert(Constants::name(key), value);
    };
    put(homePath, home);
    put(downloadPath, downloads);
    put(wrapperRootPath, webapp);
    put(wrapperAccessPath, webapp);
    put(contentsPath, appData + QStringLiteral("/contents"));
    put(wrapperIndexPath, index);
    put(wrapperArchivePath, appDir + QStringLiteral("/data.bin"));
    put(configPath, appDir + QStringLiteral("/kelshell.config"));
    put(localStorageRootPath, appData);
    put(wrapperStartupPath,
        QStringLiteral("file://") + index + QStringLiteral("?backend=desktop&platform=win"));
    put(logsPath, appLocalData + QStringLiteral("/appLogs.txt"));
    put(documentsPath, documents);
}

void PathsManager::set(const QString &key, const QString &path)
{
    m_paths.insert(key, path);
}

QString PathsManager::get(const QString &key, const QString &defValue) const
{
    return m_paths.value(key, defValue);
}

QString PathsManager::get(const QString &key) const
{
    return m_paths.value(key);
}
