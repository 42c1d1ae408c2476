#include "app/localstorage.h"

#include "app/pathsmanager.h"
#include "app/settingsmanager.h"
#include "bridge/constants.h"

#include <QDir>

namespace LocalStorage {

QString join(const QString &root, const QString &folder)
{
    return root + QLatin1Char('/') + folder;
}

void prepare()
{
    using namespace Constants::PathManager;
    PathsManager *paths = PathsManager::instance();
    const QString storage = Constants::key(Constants::Other::storage);
    const QString folder = SettingsManager::instance()
                               ->get(storage, Constants::key(Constants::Other::path), storage)
                               .toString();
    paths->set(Constants::name(localStoragePath),
               join(paths->get(Constants::name(localStorageRootPath), QString()), folder));
    QDir(paths->get(localStoragePath)).mkpath(QStringLiteral("."));
    QDir(paths->get(contentsPath)).mkpath(QStringLiteral("."));
}

} // namespace LocalStorage
