#pragma once

#include "content/archiveaccessmanager.h"

// Stands in for a content archive that could not be opened: it holds no
// entry, so every page request falls back to the file system and fails there.
class EmptyArchiveManager : public ArchiveAccessManager
{
    Q_OBJECT
public:
    using ArchiveAccessManager::ArchiveAccessManager;

    bool exists(const QString &) override { return false; }
    QByteArray read(const QString &) override { return QByteArray(); }
    QIODevice *open(const QString &) override { return nullptr; }
};
