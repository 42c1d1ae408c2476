#include "settingsmanager.h"

#include "pathsmanager.h"
#include "singleton.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>

SettingsManager *SettingsManager::instance()
{
    return Singleton<SettingsManager>::instance();
}

SettingsManager::SettingsManager()
{
    reload(PathsManager::instance()->get(Constants::PathManager::configPath));
}

void SettingsManager::reload(const QString &path)
{
    QSharedPointer<QSettings> settings(new QSettings(path, QSettings::IniFormat));
    settings->setIniCodec("UTF-8");
    QMutexLocker lock(&m_mutex);
    m_settings = settings;
}

QVariant SettingsManager::get(const QString &group, const QString &key,
                              const QVariant &defValue) const
{
    QMutexLocker lock(&m_mutex);
    m_settings->beginGroup(group);
    const QVariant value = m_settings->value(key, defValue);
    m_settings->endGroup();
    return value;
}

QVariant SettingsManager::get(const QString &group, const QString &key) const
{
    return get(group, key, QVariant());
}

QVariantMap SettingsManager::getGroup(const QString &group) const
{
    QMutexLocker lock(&m_mutex);
    QVariantMap map;
    m_settings->beginGroup(group);
    const QStringList keys = m_settings->allKeys();
    for (const QString &key : keys)
        map.insert(key, m_settings->value(key).toString());
    m_settings->endGroup();
    return map;
}

QString SettingsManager::archiveFilePath() const
{
    const QString fallback = PathsManager::instance()->get(Constants::PathManager::wrapperArchivePath);
    QString path;
    {
        QMutexLocker lock(&m_mutex);
        m_settings->beginGroup(QStringLiteral("wrapper"));
        path = m_settings->value(QStringLiteral("archivePath"), fallback).toString();
        m_settings->endGroup();
    }
    QFileInfo info(path);
    if (info.isRelative())
        info.setFile(QDir(QCoreApplication::applicationDirPath()), path);
    return info.absoluteFilePath();
}
