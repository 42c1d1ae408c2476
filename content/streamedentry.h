#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QLoggingCategory>
#include <QString>
#include <QThreadPool>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

Q_DECLARE_LOGGING_CATEGORY(lcZipHandler)

// An entry too large to check before replying: the bytes read up front, then
// the rest of the entry. A read error is logged once and reported as -1 with
// atEnd() false, so that it is not taken for the end of the data.
// The rest is inflated and checked ahead on the handler's stream pool, a
// bounded amount at a time: read where the web engine asks for it, it took
// the engine's I/O thread, which carries every other request of the page.
// For the same reason a read never waits for the read-ahead: with nothing
// queued it returns 0 with atEnd() false, which the engine takes as "more
// later", and each chunk queued (and the end) is announced by readyRead().
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
        m_shared->device = this;
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
            m_shared->device = nullptr;
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
        Shared &s = *m_shared;
        std::lock_guard<std::mutex> lock(s.mutex);
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
        if (s.state != State::Failed)
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
        // Told of each change on its own thread; cleared when it goes.
        StreamedEntry *device = nullptr;
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
            // Posted while the device cannot go (its destructor takes the
            // lock to clear it), and dropped by Qt if it goes before.
            if (StreamedEntry *device = s.device)
                QMetaObject::invokeMethod(device, [device]() { emit device->readyRead(); },
                                          Qt::QueuedConnection);
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
