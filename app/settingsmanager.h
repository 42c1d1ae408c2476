#pragma once

#include <QMutex>
#include <QObject>
#include <QSettings>
#include <QSharedPointer>
#include <QVariant>
#include <QVariantMap>

// Read-only access to kelshell.config beside the program. Every read is
// serialised: plugins read settings from pool threads.
class SettingsManager : public QObject
{
    Q_OBJECT
public:
    static SettingsManager *instance();

    Q_INVOKABLE QVariant get(const QString &group, const QString &key,
                             const QVariant &defValue) const;
    Q_INVOKABLE QVariant get(const QString &group, const QString &key) const;
    Q_INVOKABLE QVariantMap getGroup(const QString &group) const;

    // Absolute path of the content archive; relative settings are taken
    // relative to the application folder.
    QString archiveFilePath() const;

    // Reopens the configuration from path. Tests point the process-wide
    // object at their own file; the program never calls it.
    void reload(const QString &path);

private:
    template <typename> friend class Singleton;
    SettingsManager();

    QSharedPointer<QSettings> m_settings;
    mutable QMutex m_mutex;
};
