#include "content/ziphandler.h"

#include "bridge/constants.h"
#include "content/archiveaccessmanager.h"
#include "content/archiveexception.h"
#include "content/archivepath.h"

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

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>

Q_LOGGING_CATEGORY(lcZipHandler, "ZipHandler")

namespace {
using CopyResult = std::pair<int, QVariantMap>;

// An entry too large to check before replying: the bytes read up front, then
// the rest of the entry. A read error is logged once and reported as -1 with
// atEnd() false, so that it is not taken for the end of the data.
// The rest is inflated and checked ahead on the handler's stream pool, a
// bounded amount at a time: read where the web engine asks for it, it took
// the engine's I/O thread, which carries every other request of the page.
// A read-ahead task never waits for the engine (it stops when enough is
// queued, and the next read queues another), so streams share the pool.
class StreamedEntry : public QIODevice
{
public:
    StreamedEntry(const QByteArray &head, std::shared_ptr<QIODevice> entry, const QString &description,
                  std::shared_ptr<QThreadPool> pool)
        : m_head(head), m_description(description), m_pool(std::move(pool)),
          m_shared(std::make_shared<Shared>())
    {
        m_shared->entry = std::move(entry);
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        scheduleLocked();
    }
    ~StreamedEntry() override
    {
        // A task still queued finds stop set and does nothing; one reading
        // ends within a chunk. The entry goes here, in the thread it lives in.
        std::shared_ptr<QIODevice> entry;
        {
            std::unique_lock<std::mutex> lock(m_shared->mutex);
            m_shared->stop = true;
            m_shared->changed.wait(lock, [this]() { return !m_shared->reading; });
            entry = std::move(m_shared->entry);
        }
    }

    bool isSequential() const override { return true; }
    bool atEnd() const override
    {
        const Shared &s = *m_shared;
        std::lock_guard<std::mutex> lock(s.mutex);
        return s.state == State::Ended && s.chunks.empty() && m_headPos == m_head.size();
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (m_headPos < m_head.size()) {
            const qint64 n = qMin<qint64>(maxSize, m_head.size() - m_headPos);
            memcpy(data, m_head.constData() + m_headPos, size_t(n));
            m_headPos += int(n);
            if (m_headPos == m_head.size()) {
                // The rest streams: the memory can go.
                m_head = QByteArray();
                m_headPos = 0;
            }
            return n;
        }
        // Waits for the read-ahead: a 0 here would be taken for the end.
        Shared &s = *m_shared;
        std::unique_lock<std::mutex> lock(s.mutex);
        s.changed.wait(lock, [&s]() { return !s.chunks.empty() || s.state != State::Reading; });
        if (!s.chunks.empty()) {
            const QByteArray &front = s.chunks.front();
            const qint64 n = qMin<qint64>(maxSize, front.size() - s.frontPos);
            memcpy(data, front.constData() + s.frontPos, size_t(n));
            s.frontPos += int(n);
            s.queued -= n;
            if (s.frontPos == front.size()) {
                s.chunks.pop_front();
                s.frontPos = 0;
            }
            scheduleLocked();
            return n;
        }
        if (s.state == State::Ended)
            return 0;
        if (!m_reported) {
            m_reported = true;
            setErrorString(s.error);
            qCWarning(lcZipHandler).noquote() << "damaged entry" << m_description << "-"
                                              << s.error << "- reply cut short";
        }
        return -1;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    enum class State { Reading, Ended, Failed };
    static constexpr qint64 kChunk = 256 * 1024;
    // Enough to keep the engine fed; more would only take the cores from
    // the other requests' reads while the head is still being served.
    static constexpr qint64 kAhead = 1024 * 1024;

    // What the device and its read-ahead task share; the task holds it, not
    // the device, which may go first.
    struct Shared
    {
        mutable std::mutex mutex;
        std::condition_variable changed;
        // Read by one task at a time (scheduled), only while reading is set.
        std::shared_ptr<QIODevice> entry;
        std::deque<QByteArray> chunks;
        int frontPos = 0;
        qint64 queued = 0;
        State state = State::Reading;
        QString error;
        bool scheduled = false; // a task is queued or running
        bool reading = false;   // a task is reading the entry now
        bool stop = false;
    };

    void scheduleLocked()
    {
        Shared &s = *m_shared;
        if (s.scheduled || s.stop || s.state != State::Reading || s.queued >= kAhead)
            return;
        s.scheduled = true;
        m_pool->start([shared = m_shared]() { readAhead(*shared); });
    }

    // Reads until enough is queued, the entry ends or fails, or the device
    // has gone.
    static void readAhead(Shared &s)
    {
        std::unique_lock<std::mutex> lock(s.mutex);
        while (!s.stop && s.queued < kAhead) {
            s.reading = true;
            lock.unlock();
            QByteArray chunk(int(kChunk), Qt::Uninitialized);
            const qint64 n = s.entry->read(chunk.data(), kChunk);
            const bool atEnd = n == 0 && s.entry->atEnd();
            lock.lock();
            s.reading = false;
            if (n > 0) {
                chunk.resize(int(n));
                s.chunks.push_back(chunk);
                s.queued += n;
            } else if (atEnd) {
                s.state = State::Ended;
            } else {
                s.state = State::Failed;
                s.error = n < 0 ? s.entry->errorString()
                                : QStringLiteral("no data before the end of the entry");
            }
            s.changed.notify_all();
            if (n <= 0)
                break;
        }
        s.scheduled = false;
        s.changed.notify_all();
    }

    QByteArray m_head;
    int m_headPos = 0;
    QString m_description;
    bool m_reported = false;
    std::shared_ptr<QThreadPool> m_pool;
    std::shared_ptr<Shared> m_shared;
};
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
    // The common web files by their extension alone, with the types the
    // database gives them: its search costs about 25 microseconds a name (a
    // course's first page asks for hundreds), most of it on unusual patterns
    // that only a name like "x.so.1.js" would match, which is a script on the
    // web all the same. Then the types the web engine insists on that
    // Debian's MIME database lacks or leaves ambiguous: streaming WebAssembly
    // compilation needs application/wasm, module scripts a JavaScript type.
    static const QHash<QString, QString> byExtension = [&database] {
        QHash<QString, QString> types;
        for (const char *extension : {"js", "css", "html", "htm", "svg", "png", "jpg", "jpeg", "gif",
                                      "webp", "ico", "woff", "woff2", "ttf", "mp3", "mp4", "webm",
                                      "ogg", "wav"}) {
            const QString name = QLatin1String(extension);
            types.insert(name, database.mimeTypeForFile(QStringLiteral("x.") + name,
                                                        QMimeDatabase::MatchExtension).name());
        }
        types.insert(QStringLiteral("wasm"), QStringLiteral("application/wasm"));
        types.insert(QStringLiteral("mjs"), QStringLiteral("text/javascript"));
        types.insert(QStringLiteral("cjs"), QStringLiteral("text/javascript"));
        types.insert(QStringLiteral("json"), QStringLiteral("application/json"));
        types.insert(QStringLiteral("map"), QStringLiteral("application/json"));
        types.insert(QStringLiteral("webmanifest"), QStringLiteral("application/manifest+json"));
        types.insert(QStringLiteral("otf"), QStringLiteral("font/otf"));
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
