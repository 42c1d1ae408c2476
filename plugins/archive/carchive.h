#pragma once

#include "bridge/iplugin.h"

#include <QMultiHash>
#include <QSharedPointer>
#include <QWeakPointer>

class ZipExtraction;

// Archive extraction service of the page: unpacks a zip file into a folder
// on a pool thread, with progress and abort. Each call's progress, error and
// cancel reach that call's task only, and each call ends once: with
// archiveUnzipFinish, archiveUnzipError or (through the task's cancel)
// archiveUnzipAbort.
class CArchive : public CIdentifiable<IPlugin>
{
    Q_OBJECT
public:
    CArchive();
    // Running extractions are aborted, so that shutting down does not wait
    // for a large archive.
    ~CArchive() override;

    QSharedPointer<Task::ITask> initialize() override { return {}; }

public slots:
    // Stops the extractions started under abortTaskID; others go on.
    void abortUnzip(const QString &abortTaskID);
    // taskID is the id abortUnzip knows the call by (the page's uuid).
    QSharedPointer<Task::ITask> unzip(const QString &taskID, const QString &relFilePath,
                                      const QString &targetPath);

private:
    void forgetEnded();

    // Held weakly: the work function owns its extraction.
    QMultiHash<QString, QWeakPointer<ZipExtraction>> m_running;
};
