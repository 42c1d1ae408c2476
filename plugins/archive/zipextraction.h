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
        ExtractionWriteFailed = 3, // a folder or file cannot be created, or an
                                   // entry name would leave the target
        ExtractionAborted = 4,
    };
    Q_ENUM(ExtractionError)

    explicit ZipExtraction(QObject *parent = nullptr);

    // Sub-folders directly inside target are replaced; files lying directly
    // in target stay. Entry names are checked before anything is touched.
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
    // Looked at before each entry: the entry being written is finished first.
    void abort();

private:
    ExtractionError fail(ExtractionError code);

    std::atomic<bool> m_aborted{false};
    int m_maxThreads = 2;
};

Q_DECLARE_METATYPE(ZipExtraction::ExtractionError)
