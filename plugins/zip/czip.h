#pragma once

#include "bridge/iplugin.h"

#include <QSharedPointer>
#include <QVariantMap>

#include <atomic>
#include <memory>

// Zip service of the page: create and extend archives, list them, read
// entries into memory and extract entries to files. Every operation opens
// the archive on a pool thread, works and closes it; extractions running
// when the service goes stop at their next chunk, their files not put in
// place. Paths are used as the page sends them. Per-item problems are codes
// inside the success callback; only an archive that cannot be opened (or an
// unknown add mode) takes the failure callback.
class CZip : public CIdentifiable<IPlugin>
{
    Q_OBJECT
public:
    ~CZip() override { m_stopping->store(true); }
    QSharedPointer<Task::ITask> initialize() override { return {}; }

public slots:
    // mode "create" (replaces any file) or "add", in any letter case; files
    // maps an item key to {"type": "raw"|"path", "path": entry name, "data"}.
    QSharedPointer<Task::ITask> addFiles(const QString &archivePath, const QString &mode,
                                         const QVariantMap &files);
    // filesPaths maps an item key to an entry name.
    QSharedPointer<Task::ITask> readFiles(const QString &archivePath,
                                          const QVariantMap &filesPaths);
    QSharedPointer<Task::ITask> compressDirectory(const QString &archivePath,
                                                  const QString &dirPath);
    QSharedPointer<Task::ITask> listContents(const QString &archivePath);
    // paths maps an item key to {"source": entry name, "target": file path}.
    QSharedPointer<Task::ITask> extractFiles(const QString &archivePath,
                                             const QVariantMap &paths);

private:
    const std::shared_ptr<std::atomic<bool>> m_stopping = std::make_shared<std::atomic<bool>>(false);
};
