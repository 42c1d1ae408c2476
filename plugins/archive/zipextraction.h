#pragma once

#include <QObject>
#include <QString>

#include <atomic>

// Unpacks one zip file into a folder. extract() runs synchronously on the
// calling thread (with a helper thread from the global pool when one is free
// and the archive is worth it) and reports through the signals while it
// runs; abort() may be called from any thread.
class ZipExtraction : public QObject
{
    Q_OBJECT
public:
    enum ExtractionError {
        ExtractionOk = 0,
        ZipFileMissing = 1,        // no file at the zip path
        ZipOpenFailed = 2,         // not a readable zip, or a damaged entry
        ExtractionWriteFailed = 3, // a folder or file cannot be created or put
                                   // in place, a refused name or zip place, or
                                   // an unexpected failure
        ExtractionAborted = 4,
    };
    Q_ENUM(ExtractionError)

    explicit ZipExtraction(QObject *parent = nullptr);

    // Sub-folders directly inside target are replaced; files lying directly
    // in target stay, unless the archive has a file of the same name. The
    // tree is built in a hidden folder inside target and swapped in once
    // every entry is written: a call that does not finish leaves target as
    // it was. Refused, before anything is touched: an entry name that would
    // leave target or holds a NUL, and a zip inside a sub-folder of target.
    // Progress: (total, 0) first, (total, n) after the n-th entry for n = 1,
    // 51, 101, ..., and (total, total) at the end.
    ExtractionError extract(const QString &zipPath, const QString &target);

    // At most this many threads inflate entries (1 keeps it on the caller).
    void setMaxThreads(int count) { m_maxThreads = qMax(1, count); }

    bool isAborted() const { return m_aborted.load(); }

signals:
    void cancel();
    void error(ZipExtraction::ExtractionError errorCode);
    void progress(int total, int progress);

public slots:
    // Looked at between chunks: the entry being written is left unfinished.
    void abort();

private:
    // extract() without the final report.
    ExtractionError extractStaged(const QString &zipPath, const QString &target, int *total);

    std::atomic<bool> m_aborted{false};
    int m_maxThreads = 2;
};

Q_DECLARE_METATYPE(ZipExtraction::ExtractionError)
