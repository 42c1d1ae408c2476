#pragma once

#include "bridge/constants.h"

#include <QHash>
#include <QObject>
#include <QString>

// Registry of named paths (keys: Constants::PathManager names). Written on
// the main thread during start-up only; read from any thread afterwards.
class PathsManager : public QObject
{
    Q_OBJECT
public:
    static PathsManager *instance();

    Q_INVOKABLE void set(const QString &key, const QString &path);
    Q_INVOKABLE QString get(const QString &key, const QString &defValue) const;
    Q_INVOKABLE QString get(const QString &key) const;

    QString get(Constants::PathManager::_PathManager key) const
    {
        return get(Constants::name(key));
    }

private:
    template <typename> friend class Singleton;
    PathsManager();

    QHash<QString, QString> m_paths;
};
