#pragma once

#include <QMap>
#include <QMutex>
#include <QSet>
#include <QSharedPointer>
#include <QString>
#include <QVariantMap>
#include <QWaitCondition>

#include <atomic>

class ArchiveAccessManager;
class QFile;
class QIODevice;

// The copy routine of the file system service and of the content scheme's
// media: copies a file or a content archive entry to a local file and keeps
// the latest "temporary" copy of each cache key, which is deleted when the
// next copy of the key replaces it or when the cache goes. Thread-safe.
class CopyCache
{
public:
    // Where the copy routine reads: Auto takes paths under the wrapper access
    // path ("/webapp/") from the content archive and others from disk;
    // Archive always reads the content archive.
    enum class Source { Auto, Archive };

    // The archive is not owned.
    explicit CopyCache(ArchiveAccessManager *archive) : archive(archive) {}

    // Fills output with filepath/filename/filedir/size on success and returns
    // Constants::Code Ok, CopyFailed or BadArguments. Copies of one cache key
    // run one at a time; with force clear and type "temporary" an earlier
    // temporary copy of the key is reused.
    int copy(const QString &cacheKey, const QString &source, const QString &targetName,
             const QString &location, const QString &type, QVariantMap &output, bool force,
             Source from = Source::Auto);

    // Copies running or to come fail at their next chunk: the owner is going.
    void stop() { m_stopping.store(true); }

    ArchiveAccessManager *const archive;

private:
    class KeyClaim;
    QIODevice *openSource(const QString &source, Source from);

    std::atomic<bool> m_stopping{false};
    QMutex m_mutex;
    QWaitCondition m_released;
    QSet<QString> m_busyKeys;
    // Source key -> latest "temporary" copy. A null entry never stays: a
    // failed copy leaves no entry.
    QMap<QString, QSharedPointer<QFile>> m_cache;
};
