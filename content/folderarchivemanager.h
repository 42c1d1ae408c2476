#pragma once

#include "content/archiveaccessmanager.h"

// The course folder itself standing in for the content archive (dev mode):
// "webapp/x/y" is courseDir/x/y. So services that read the course (copies out
// of "/webapp/") work on the author's loose files as they will on the packed
// archive. Paths that would leave the folder find nothing.
class FolderArchiveManager : public ArchiveAccessManager
{
    Q_OBJECT
public:
    explicit FolderArchiveManager(const QString &courseDir, QObject *parent = nullptr);

    bool exists(const QString &path) override;
    QByteArray read(const QString &path) override;
    QIODevice *open(const QString &path) override;

    // The file that path names; empty when it names none inside the folder.
    QString localPath(const QString &path) const;

private:
    const QString m_dir;
};
