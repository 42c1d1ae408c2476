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
#include <thread>
#include <utility>

Q_LOGGING_CATEGORY(lcZipHandler, "ZipHandler")

namespace {
using CopyResult = std::pair<int, QVariantMap>;

// An entry too large to check before replying: the bytes read up front, then
// the rest of the entry. A read error is logged once and reported as -1 with
// atEnd() false, so that it is not taken for the end of the data.
// The rest is inflated and checked ahead on a thread of its own, a bounded
// amount at a time: read where the web engine asks for it, it took the
// engine's I/O thread, which carries every other request of the page.
class StreamedEntry : public QIODevice
{
public:
    StreamedEntry(const QByteArray &head, std::shared_ptr<QIODevice> entry, const QString &description)
        : m_head(head), m_entry(std::move(entry)), m_description(description)
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        m_reader = std::thread([this]() { readAhead(); });
    }
    ~StreamedEntry() override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_reader.join();
    }

    bool isSequential() const override { return true; }
    bool atEnd() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_state == State::Ended && m_chunks.empty() && m_headPos == m_head.size();
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
        // Waits for the reader: a 0 here would be taken for the end.
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this]() { return !m_chunks.empty() || m_state != State::Reading; });
        if (!m_chunks.empty()) {
            const QByteArray &front = m_chunks.front();
            const qint64 n = qMin<qint64>(maxSize, front.size() - m_frontPos);
            memcpy(data, front.constData() + m_frontPos, size_t(n));
            m_frontPos += int(n);
            m_queued -= n;
            if (m_frontPos == front.size()) {
                m_chunks.pop_front();
                m_frontPos = 0;
            }
            lock.unlock();
            m_changed.notify_all();
            return n;
        }
        if (m_state == State::Ended)
            return 0;
        if (!m_reported) {
            m_reported = true;
            setErrorString(m_error);
            qCWarning(lcZipHandler).noquote() << "damaged entry" << m_description << "-"
                                              << m_error << "- reply cut short";
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

    void readAhead()
    {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [this]() { return m_stop || m_queued < kAhead; });
                if (m_stop)
                    return;
            }
            QByteArray chunk(int(kChunk), Qt::Uninitialized);
            const qint64 n = m_entry->read(chunk.data(), kChunk);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (n > 0) {
                    chunk.resize(int(n));
                    m_chunks.push_back(chunk);
                    m_queued += n;
                } else if (n == 0 && m_entry->atEnd()) {
                    m_state = State::Ended;
                } else {
                    m_state = State::Failed;
                    m_error = n < 0 ? m_entry->errorString()
                                    : QStringLiteral("no data before the end of the entry");
                }
            }
            m_changed.notify_all();
            if (n <= 0)
                return;
        }
    }

    QByteArray m_head;
    int m_headPos = 0;
    // Read by the reader thread only, until it has ended.
    std::shared_ptr<QIODevice> m_entry;
    QString m_description;
    bool m_reported = false;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<QByteArray> m_chunks;
    int m_frontPos = 0;
    qint64 m_queued = 0;
    State m_state = State::Reading;
    QString m_error;
    bool m_stop = false;
    std::thread m_reader;
};
} // namespace

ZipHandler::ZipHandler(ArchiveAccessManager *archive, QObject *parent)
    : BaseHandler(parent), m_archive(archive), m_mediaCopies(archive)
{
    m_copyPool.setMaxThreadCount(2);
    m_readPool.setMaxThreadCount(qMax(2, QThread::idealThreadCount()));
}

ZipHandler::~ZipHandler()
{
    m_readPool.waitForDone();
    m_copyPool.waitForDone();
}

QString ZipHandler::archivePath(const QUrl &url)
{
    return ArchivePath::fromUrlPath(url.path(QUrl::FullyDecoded));
}

QString ZipHandler::mimeTypeFor(const QString &path) const
{
    // Types the web engine insists on that Debian's MIME database lacks or
    // leaves ambiguous: streaming WebAssembly compilation needs
    // application/wasm, module scripts a JavaScript type.
    static const QHash<QString, QString> web = {
        {QStringLiteral("wasm"), QStringLiteral("application/wasm")},
        {QStringLiteral("mjs"), QStringLiteral("text/javascript")},
        {QStringLiteral("cjs"), QStringLiteral("text/javascript")},
        {QStringLiteral("json"), QStringLiteral("application/json")},
        {QStringLiteral("map"), QStringLiteral("application/json")},
        {QStringLiteral("webmanifest"), QStringLiteral("application/manifest+json")},
        {QStringLiteral("otf"), QStringLiteral("font/otf")},
    };
    const int dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot > path.lastIndexOf(QLatin1Char('/'))) {
        const QString type = web.value(path.mid(dot + 1).toLower());
        if (!type.isEmpty())
            return type;
    }
    return m_mimeDatabase.mimeTypeForFile(path, QMimeDatabase::MatchExtension).name();
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
    d.mime = mimeTypeFor(d.path);
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
        reply(job, replyDevice(std::move(prepared.head), prepared.description), d.mime);
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

QIODevice *ZipHandler::replyDevice(Head head, const QString &description)
{
    if (head.entry)
        return new StreamedEntry(head.bytes, std::move(head.entry), description);
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
