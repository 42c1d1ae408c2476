#include "content/folderarchivemanager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopedPointer>

FolderArchiveManager::FolderArchiveManager(const QString &courseDir, QObject *parent)
    : ArchiveAccessManager(parent), m_dir(QDir::cleanPath(courseDir))
{
}

QString FolderArchiveManager::localPath(const QString &path) const
{
    // The first component is the archive's root folder, as in a packed course.
    const QString clean = QDir::cleanPath(QString(path).replace(QLatin1Char('\\'), QLatin1Char('/')));
    const int slash = clean.indexOf(QLatin1Char('/'));
    if (slash <= 0 || clean.leftRef(slash).compare(QLatin1String("webapp"), Qt::CaseInsensitive) != 0)
        return QString();
    const QString rest = clean.mid(slash + 1);
    if (rest.isEmpty() || rest == QLatin1String("..") || rest.startsWith(QLatin1String("../")))
        return QString();
    return m_dir + QLatin1Char('/') + rest;
}

bool FolderArchiveManager::exists(const QString &path)
{
    const QString local = localPath(path);
    return !local.isEmpty() && QFileInfo(local).isFile();
}

QByteArray FolderArchiveManager::read(const QString &path)
{
    QScopedPointer<QIODevice> device(open(path));
    return device ? device->readAll() : QByteArray();
}

QIODevice *FolderArchiveManager::open(const QString &path)
{
    if (!exists(path))
        return nullptr;
    QScopedPointer<QFile> file(new QFile(localPath(path)));
    return file->open(QIODevice::ReadOnly) ? file.take() : nullptr;
}
