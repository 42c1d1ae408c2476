#pragma once

#include "content/basehandler.h"
#include "content/copycache.h"

#include <QThreadPool>
#include <QUrl>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineUrlRequestJob>

#include <memory>

class ArchiveAccessManager;

// Answers "kelzip" requests from the content archive: ordinary entries are
// streamed, audio and video entries are copied to a temporary file (kept in
// the handler's copy cache) and the request is redirected there.
// Every request is answered, with a job error when nothing can be served.
class ZipHandler : public BaseHandler
{
public:
    // The archive is not owned.
    explicit ZipHandler(ArchiveAccessManager *archive, QObject *parent = nullptr);
    ~ZipHandler() override;

    void requestStarted(QWebEngineUrlRequestJob *job) override;

    // What a request gets, decided without a job.
    enum class Action { Fail, Stream, Media };
    struct Decision
    {
        Action action = Action::Fail;
        QWebEngineUrlRequestJob::Error error = QWebEngineUrlRequestJob::NoError;
        QString path; // archive-relative, normalised
        QString mime;
    };
    Decision decide(const QUrl &url) const;

    // The archive path a "kelzip" URL names: fully decoded, a Windows drive
    // ("/C:/") removed as the interceptor removes it, and normalised; null
    // when it climbs out of the archive.
    static QString archivePath(const QUrl &url);
    // MIME type by extension only; application/octet-stream when unknown.
    static QString mimeTypeFor(const QString &path, const QMimeDatabase &database);
    static bool isMedia(const QString &mime);
    // Name of the temporary copy of a media entry: a fresh UUID without
    // braces. No extension is needed: the web engine's media pipeline finds
    // the format from the content (the scheme test plays wav, ogg, mp3, webm
    // and mp4 copies).
    static QString mediaCopyName();

    // Worker scripts: the interceptors mark a worker's own script request
    // (markWorker), and the handler runs the page's compatibility script
    // (qrc:/pagecompat.js: the missing built-ins, fetch() of course files)
    // in the worker before its code. The prefix keeps the script's line
    // numbers and a leading "use strict" directive.
    static void markWorker(QWebEngineUrlRequestInfo &info);
    static QByteArray withWorkerPrefix(const QByteArray &script, const QByteArray &compat);

private:
    // Entries up to this size are read whole, and checked by their reader
    // (zip CRC and size, every kelcab page), before the reply starts: once a
    // reply has started, the web engine takes a read error for the end of
    // the data if the device also says it is at its end.
    static constexpr qint64 CheckedReplyLimit = 4 * 1024 * 1024;
    // What was read of an open entry before replying: the whole entry when
    // it ends within the limit (entry then null), else the first bytes and
    // the entry to stream the rest from; or the error of an entry that fails
    // within the limit. Read off the main thread: inflating and decrypting
    // there held up every other request of the page.
    struct Head
    {
        std::shared_ptr<QIODevice> entry;
        QByteArray bytes;
        QString error;
    };
    static Head readHead(const std::shared_ptr<QIODevice> &entry);
    // The device to answer with: a buffer of the whole entry, else a stream
    // that serves the head, then the rest (read ahead on pool), and logs a
    // read error (naming description). Main thread.
    static QIODevice *replyDevice(Head head, const QString &description,
                                  std::shared_ptr<QThreadPool> pool);
    // A request's decision and, for an entry to stream, its head read; done
    // on a worker: the lookup, the open (a seek and a header read, or a new
    // handle on the archive) and the MIME type held up the main thread,
    // which also runs the web engine's own work for the page.
    struct Prepared
    {
        Decision decision;
        bool failed = false; // cannot open or damaged: logged already
        Head head;
        QString description;
    };
    Prepared prepare(const QUrl &url, bool worker) const;
    void answer(QWebEngineUrlRequestJob *job, const QUrl &url, Prepared prepared);
    void serveMedia(QWebEngineUrlRequestJob *job, const QString &fullPath);
    void reply(QWebEngineUrlRequestJob *job, QIODevice *device, const QString &mime);

    ArchiveAccessManager *m_archive;
    // The media copies, apart from the page's own copies: a copy the page
    // makes of a file must not replace (and delete) a playing media copy.
    CopyCache m_mediaCopies;
    // Media copies run here, not in the global pool, so that a large copy
    // does not hold up the page's own tasks.
    QThreadPool m_copyPool;
    QThreadPool m_readPool;
    // The read-ahead of streamed entries. Shared with their devices, which
    // may outlive the handler; its tasks hold nothing of the handler.
    std::shared_ptr<QThreadPool> m_streamPool = std::make_shared<QThreadPool>();
};
