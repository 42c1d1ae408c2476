#include "plugins/archive/carchive.h"

#include "bridge/task.h"
#include "plugins/archive/carchiveresponses.h"
#include "plugins/archive/zipextraction.h"

#include <QPointer>

#include <exception>

CArchive::CArchive()
{
    qRegisterMetaType<ZipExtraction::ExtractionError>("ZipExtraction::ExtractionError");
}

CArchive::~CArchive()
{
    for (const QWeakPointer<ZipExtraction> &weak : qAsConst(m_running)) {
        if (const QSharedPointer<ZipExtraction> extraction = weak.toStrongRef())
            extraction->abort();
    }
}

void CArchive::forgetEnded()
{
    for (auto it = m_running.begin(); it != m_running.end();) {
        if (it.value().isNull())
            it = m_running.erase(it);
        else
            ++it;
    }
}

void CArchive::abortUnzip(const QString &abortTaskID)
{
    forgetEnded();
    const QList<QWeakPointer<ZipExtraction>> matching = m_running.values(abortTaskID);
    for (const QWeakPointer<ZipExtraction> &weak : matching) {
        if (const QSharedPointer<ZipExtraction> extraction = weak.toStrongRef())
            extraction->abort();
    }
}

QSharedPointer<Task::ITask> CArchive::unzip(const QString &taskID, const QString &relFilePath,
                                            const QString &targetPath)
{
    forgetEnded();
    // Deleted in this thread, where it lives, whichever thread lets go last.
    const QSharedPointer<ZipExtraction> extraction(new ZipExtraction, &QObject::deleteLater);

    // The reports of this extraction go to this call's task alone. They are
    // emitted on the pool and handled here through the event loop, so after
    // this function has filled in the task.
    const auto task = QSharedPointer<QPointer<Task::ITask>>::create();
    ZipExtraction *source = extraction.data();
    connect(source, &ZipExtraction::progress, this,
            [task, relFilePath, targetPath](int total, int progress) {
                if (*task)
                    (*task)->notify(ResponsePtr(
                        new CArchiveProgressResponse(relFilePath, targetPath, total, progress)));
            });
    connect(source, &ZipExtraction::error, this,
            [task, relFilePath, targetPath](ZipExtraction::ExtractionError code) {
                if (*task)
                    (*task)->reject(
                        ResponsePtr(new CArchiveRejectedResponse(relFilePath, targetPath, code)));
            });
    connect(source, &ZipExtraction::cancel, this, [task] {
        if (*task)
            (*task)->cancel();
    });

    // The task ends on the first of these reports; the work's own result,
    // which repeats an error or a cancel, then goes nowhere.
    const QSharedPointer<Task::CTask> work =
        Task::onPool([extraction, relFilePath, targetPath]() -> ResponsePtr {
            // A failure is an error for the page, never an abort it did not ask for.
            ZipExtraction::ExtractionError code = ZipExtraction::ExtractionWriteFailed;
            try {
                code = extraction->extract(relFilePath, targetPath);
            } catch (const std::exception &e) {
                qWarning("archiveUnzip of %s failed: %s", qUtf8Printable(relFilePath), e.what());
            } catch (...) {
                qWarning("archiveUnzip of %s failed", qUtf8Printable(relFilePath));
            }
            if (code != ZipExtraction::ExtractionOk)
                return ResponsePtr(new CArchiveRejectedResponse(relFilePath, targetPath, code));
            return ResponsePtr(new CArchiveResolvedResponse(relFilePath, targetPath));
        });
    *task = work.data();
    m_running.insert(taskID, extraction);
    return work;
}
