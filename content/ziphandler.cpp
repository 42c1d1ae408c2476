#include "content/ziphandler.h"

#include "bridge/constants.h"
#include "content/archiveaccessmanager.h"
#include "content/archiveexception.h"
#include "content/archivepath.h"
#include "content/streamedentry.h"

#include <QBuffer>
#include <QFile>
#include <QFutureWatcher>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QPointer>
#include <QRegularExpression>
#include <QThread>
#include <QUuid>
#include <QtConcurrent>

#include <exception>
#include <memory>
#include <utility>

Q_LOGGING_CATEGORY(lcZipHandler, "ZipHandler")

namespace {
using CopyResult = std::pair<int, QVariantMap>;
} // namespace

ZipHandler::ZipHandler(ArchiveAccessManager *archive, QObject *parent)
    : BaseHandler(parent), m_archive(archive), m_mediaCopies(archive)
{
    m_copyPool.setMaxThreadCount(2);
    m_readPool.setMaxThreadCount(qMax(2, QThread::idealThreadCount()));
    m_streamPool->setMaxThreadCount(2);
}

// Request reads and media copies use the handler and the archive, which is
// deleted right after the handler: they are waited for, and named when slow.
// Copies stop at their next chunk; a request read takes at most an entry's head.
ZipHandler::~ZipHandler()
{
    m_mediaCopies.stop();
    for (QThreadPool *pool : {&m_readPool, &m_copyPool}) {
        if (!pool->waitForDone(5000)) {
            qCWarning(lcZipHandler).noquote()
                << pool->activeThreadCount()
                << (pool == &m_readPool ? "request reads" : "media copies")
                << "still running at shutdown; waiting for them";
            pool->waitForDone();
        }
    }
}

QString ZipHandler::archivePath(const QUrl &url)
{
    return ArchivePath::fromUrlPath(url.path(QUrl::FullyDecoded));
}

QString ZipHandler::mimeTypeFor(const QString &path, const QMimeDatabase &database)
{
    // The common web files by their extension alone, with the types Debian's
    // MIME database gives them, written out: loading the database took the
    // first request of every start about 1.4 ms, and its search costs about
    // 25 microseconds a name (a course's first page asks for hundreds), most
    // of it on unusual patterns that only a name like "x.so.1.js" would
    // match, which is a script on the web all the same. Then the types the
    // web engine insists on that the database lacks or leaves ambiguous:
    // streaming WebAssembly compilation needs application/wasm, module
    // scripts a JavaScript type. Other names ask the database.
    static const QHash<QString, QString> byExtension = [] {
        QHash<QString, QString> types;
        const char *const known[][2] = {
            {"js", "application/javascript"}, {"css", "text/css"}, {"html", "text/html"},
            {"htm", "text/html"}, {"svg", "image/svg+xml"}, {"png", "image/png"},
            {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"}, {"gif", "image/gif"},
            {"webp", "image/webp"}, {"ico", "image/vnd.microsoft.icon"}, {"woff", "font/woff"},
            {"woff2", "font/woff2"}, {"ttf", "font/ttf"}, {"mp3", "audio/mpeg"},
            {"mp4", "video/mp4"}, {"webm", "video/webm"}, {"ogg", "audio/ogg"},
            {"wav", "audio/x-wav"}, {"wasm", "application/wasm"}, {"mjs", "text/javascript"},
            {"cjs", "text/javascript"}, {"json", "application/json"}, {"map", "application/json"},
            {"webmanifest", "application/manifest+json"}, {"otf", "font/otf"}};
        for (const auto &entry : known)
            types.insert(QLatin1String(entry[0]), QLatin1String(entry[1]));
        return types;
    }();
    const int dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot > path.lastIndexOf(QLatin1Char('/'))) {
        const QString type = byExtension.value(path.mid(dot + 1).toLower());
        if (!type.isEmpty())
            return type;
    }
    return database.mimeTypeForFile(path, QMimeDatabase::MatchExtension).name();
}

bool ZipHandler::isMedia(const QString &mime)
{
    using namespace Constants;
    return mime.startsWith(key(Other::audio), Qt::CaseInsensitive)
        || mime.startsWith(key(Other::video), Qt::CaseInsensitive);
}

QString ZipHandler::mediaCopyName()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

ZipHandler::Decision ZipHandler::decide(const QUrl &url) const
{
    Decision d;
    if (url.scheme() != Constants::name(Constants::UrlSchema::kelzip)) {
        d.error = QWebEngineUrlRequestJob::UrlInvalid;
        return d;
    }
    d.path = archivePath(url);
    if (d.path.isEmpty() || !m_archive) {
        d.error = QWebEngineUrlRequestJob::UrlNotFound;
        return d;
    }
    try {
        if (!m_archive->exists(d.path)) {
            d.error = QWebEngineUrlRequestJob::UrlNotFound;
            return d;
        }
    } catch (const ArchiveException &e) {
        qCWarning(lcZipHandler).noquote() << "lookup of" << d.path << "failed:" << e.message;
        d.error = QWebEngineUrlRequestJob::RequestFailed;
        return d;
    } catch (const std::exception &e) {
        qCWarning(lcZipHandler).noquote() << "lookup of" << d.path << "failed:" << e.what();
        d.error = QWebEngineUrlRequestJob::RequestFailed;
        return d;
    }
    d.mime = mimeTypeFor(d.path, m_mimeDatabase);
    d.action = isMedia(d.mime) ? Action::Media : Action::Stream;
    return d;
}

namespace {
const QByteArray kWorkerHeader = QByteArrayLiteral("X-Tamberlin-Worker");
}

void ZipHandler::markWorker(QWebEngineUrlRequestInfo &info)
{
    const auto type = info.resourceType();
    if (type == QWebEngineUrlRequestInfo::ResourceTypeWorker
        || type == QWebEngineUrlRequestInfo::ResourceTypeSharedWorker)
        info.setHttpHeader(kWorkerHeader, QByteArrayLiteral("1"));
}

QByteArray ZipHandler::withWorkerPrefix(const QByteArray &script, const QByteArray &compat)
{
    if (compat.isEmpty())
        return script;
    // One line, no newline: the worker's own lines keep their numbers.
    const QByteArray text = QJsonDocument(QJsonArray{QString::fromUtf8(compat)})
                                .toJson(QJsonDocument::Compact);
    QByteArray prefix = "(0, eval)(" + text.mid(1, text.size() - 2) + ");";
    static const QRegularExpression strict(
        QStringLiteral("^\\x{FEFF}?\\s*(?:(?://[^\\n]*\\n|/\\*[\\s\\S]*?\\*/)\\s*)*(['\"])use strict\\1"));
    if (strict.match(QString::fromUtf8(script.left(64 * 1024))).hasMatch())
        prefix.prepend("'use strict';");
    return prefix + script;
}

void ZipHandler::requestStarted(QWebEngineUrlRequestJob *job)
{
    const QUrl url = job->requestUrl();
    const bool worker = job->requestHeaders().contains(kWorkerHeader);
    QPointer<QWebEngineUrlRequestJob> guard(job);
    // The job, if it still exists, is answered back on this thread. The pool
    // is drained before the handler goes, and an answer still queued then
    // goes with it.
    m_readPool.start([this, guard, url, worker]() {
        Prepared prepared = prepare(url, worker);
        QMetaObject::invokeMethod(
            this,
            [this, guard, url, prepared = std::move(prepared)]() mutable {
                if (guard)
                    answer(guard, url, std::move(prepared));
            },
            Qt::QueuedConnection);
    });
}

ZipHandler::Prepared ZipHandler::prepare(const QUrl &url, bool worker) const
{
    Prepared p;
    p.decision = decide(url);
    if (p.decision.action != Action::Stream)
        return p;
    const QString &path = p.decision.path;
    QIODevice *device = nullptr;
    try {
        device = m_archive->open(path);
    } catch (const ArchiveException &e) {
        qCWarning(lcZipHandler).noquote() << "cannot open" << path << "-" << e.message
                                          << "code" << e.code;
        p.failed = true;
        return p;
    } catch (const std::exception &e) {
        qCWarning(lcZipHandler).noquote() << "cannot open" << path << "-" << e.what();
        p.failed = true;
        return p;
    }
    // A directory entry (no device) gets an empty answer of its type.
    if (!device)
        return p;
    p.description = path + QStringLiteral(" in ") + m_archive->fileName();
    p.head = readHead(std::shared_ptr<QIODevice>(device));
    if (!p.head.error.isEmpty()) {
        qCWarning(lcZipHandler).noquote()
            << "damaged entry" << p.description << "-" << p.head.error << "- request failed";
        p.failed = true;
    } else if (worker) {
        static const QByteArray compat = [] {
            QFile file(QStringLiteral(":/pagecompat.js"));
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        }();
        p.head.bytes = withWorkerPrefix(p.head.bytes, compat);
    }
    if (!p.failed && p.head.entry) {
        // The rest streams from the main thread's reply device, which also
        // deletes it.
        p.head.entry->moveToThread(thread());
    }
    return p;
}

void ZipHandler::answer(QWebEngineUrlRequestJob *job, const QUrl &url, Prepared prepared)
{
    const Decision &d = prepared.decision;
    switch (d.action) {
    case Action::Fail:
        if (d.error != QWebEngineUrlRequestJob::UrlNotFound)
            qCWarning(lcZipHandler).noquote()
                << "cannot serve" << url.toDisplayString() << "- error" << int(d.error);
        job->fail(d.error);
        return;
    case Action::Stream:
        if (prepared.failed) {
            job->fail(QWebEngineUrlRequestJob::RequestFailed);
            return;
        }
        reply(job, replyDevice(std::move(prepared.head), prepared.description, m_streamPool),
              d.mime);
        return;
    case Action::Media:
        serveMedia(job, QLatin1Char('/') + d.path);
        return;
    }
}

ZipHandler::Head ZipHandler::readHead(const std::shared_ptr<QIODevice> &entry)
{
    constexpr qint64 limit = CheckedReplyLimit;
    Head result;
    // Sized to the entry when it tells its size (a zip entry does), else
    // grown as the data comes.
    const qint64 known = entry->size();
    QByteArray head(int(qMin<qint64>(limit, qMax<qint64>(64 * 1024, known + 1))),
                    Qt::Uninitialized);
    qint64 filled = 0;
    while (filled < limit) {
        if (filled == head.size())
            head.resize(int(qMin<qint64>(limit, qint64(head.size()) * 2)));
        const qint64 n = entry->read(head.data() + filled, head.size() - filled);
        if (n < 0) {
            result.error = entry->errorString().isEmpty() ? QStringLiteral("read error")
                                                          : entry->errorString();
            return result;
        }
        if (n == 0) {
            head.resize(int(filled));
            if (head.capacity() - filled > 64 * 1024)
                head.squeeze();
            result.bytes = head;
            return result;
        }
        filled += n;
    }
    result.bytes = head;
    result.entry = entry;
    return result;
}

QIODevice *ZipHandler::replyDevice(Head head, const QString &description,
                                   std::shared_ptr<QThreadPool> pool)
{
    if (head.entry)
        return new StreamedEntry(head.bytes, std::move(head.entry), description, std::move(pool));
    auto *buffer = new QBuffer;
    buffer->setData(head.bytes);
    buffer->open(QIODevice::ReadOnly);
    return buffer;
}

void ZipHandler::reply(QWebEngineUrlRequestJob *job, QIODevice *device, const QString &mime)
{
    // The device lives as long as the job that reads it.
    connect(job, &QObject::destroyed, device, &QObject::deleteLater);
    job->reply(mime.toLocal8Bit(), device);
}

void ZipHandler::serveMedia(QWebEngineUrlRequestJob *job, const QString &fullPath)
{
    // The copy of a large video takes a while: it runs off the main thread,
    // and the job, if it still exists, is redirected when it is done. The
    // pool is drained before the cache goes.
    CopyCache *copies = &m_mediaCopies;
    const QString targetName = mediaCopyName();
    const QFuture<CopyResult> future =
        QtConcurrent::run(&m_copyPool, [copies, fullPath, targetName]() -> CopyResult {
            using namespace Constants;
            QVariantMap output;
            try {
                const int code = copies->copy(fullPath, fullPath, targetName,
                                              key(Other::temporary), key(Other::temporary),
                                              output, false, CopyCache::Source::Archive);
                return {code, output};
            } catch (const std::exception &e) {
                qCWarning(lcZipHandler).noquote() << "media copy of" << fullPath << "-" << e.what();
            }
            return {Constants::Code::CopyFailed, QVariantMap()};
        });
    QPointer<QWebEngineUrlRequestJob> guard(job);
    auto *watcher = new QFutureWatcher<CopyResult>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [watcher, guard, fullPath]() {
        watcher->deleteLater();
        const CopyResult result = watcher->result();
        if (!guard)
            return;
        const QString file = result.second.value(Constants::key(Constants::Other::filepath)).toString();
        if (result.first != Constants::Code::Ok || file.isEmpty()) {
            qCWarning(lcZipHandler).noquote()
                << "media copy of" << fullPath << "failed with code" << result.first;
            guard->fail(QWebEngineUrlRequestJob::RequestFailed);
            return;
        }
        guard->redirect(QUrl::fromLocalFile(file));
    });
    watcher->setFuture(future);
}
