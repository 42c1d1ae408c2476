#include "archivewriter_p.h"

#include <kelcab/archive.h>
#include <kelcab/fsutils.h>

#include "archive_p.h"
#include "entry_p.h"
#include "pagecodec_p.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QThread>
#include <QThreadPool>

#include <chrono>
#include <future>
#include <limits>
#include <stdexcept>

namespace kelcab {

using detail::kPageSize;

namespace {

constexpr qint64 kCopyChunk = 1048576;
// Raw pages of files up to this size stay in memory until the file is
// decided, so storing such a file raw needs no second read.
constexpr qint64 kRetainLimit = 4 * qint64(kPageSize);
// Bounds on what is read ahead of the writing position: pages waiting for or
// undergoing compression, and their results.
constexpr qint64 kMaxBytesInFlight = 8 * 1024 * 1024;
constexpr size_t kMaxItemsInFlight = 64;

[[noreturn]] void fail(const QString &message)
{
    throw std::runtime_error(message.toLocal8Bit().toStdString());
}

} // namespace

struct FileJob
{
    void *node = nullptr;
    QString path;
    bool raw = false;
    qint64 expected = 0;
    qint64 size = 0;
    qint64 mark = 0;
    qint64 compressed = 0;
    QCryptographicHash md5{QCryptographicHash::Md5};
    bool retain = false;
    QList<QByteArray> retained;
};

struct PendingItem
{
    std::shared_ptr<FileJob> job;
    std::future<QByteArray> record;
    // The queued task, until this thread has tried to run it itself.
    QRunnable *task = nullptr;
    qint64 bytes = 0;
    bool first = false;
    bool last = false;
};

// Runs the compression tasks. On the way out (also by exception) it drops
// what has not started and waits for the rest, which only touch their own
// copies of the page.
class ArchiveWriter::Pool
{
public:
    Pool() { m_pool.setMaxThreadCount(qMax(1, QThread::idealThreadCount())); }
    ~Pool()
    {
        m_pool.clear();
        m_pool.waitForDone();
    }
    std::future<QByteArray> compress(const QByteArray &page, QRunnable **runnable)
    {
        auto task = std::make_shared<std::packaged_task<QByteArray()>>(
            [page] { return detail::compressPageRecord(page.constData(), page.size()); });
        std::future<QByteArray> result = task->get_future();
        *runnable = QRunnable::create([task] { (*task)(); });
        m_pool.start(*runnable);
        return result;
    }
    // Runs a task that no worker has started yet on the calling thread.
    // The pointer is only compared, never used, unless it is still queued.
    bool runHere(QRunnable *runnable)
    {
        if (!runnable || !m_pool.tryTake(runnable))
            return false;
        runnable->run();
        delete runnable;
        return true;
    }

private:
    QThreadPool m_pool;
};

ArchiveWriter::ArchiveWriter(Archive *archive)
    : m_archive(archive)
{
}

ArchiveWriter::~ArchiveWriter()
{
    // Futures first: their tasks may still be queued in the pool.
    m_pending.clear();
    m_pool.reset();
}

bool ArchiveWriter::save(const QDir &dir, const QString &path)
{
    // The name of the folder itself, also for "." or a trailing slash.
    const QString absolute = dir.absolutePath();
    Node root;
    root.dir = true;
    root.name = QDir(absolute).dirName();
    root.path = absolute;
    if (!QFileInfo(absolute).isDir())
        fail(QStringLiteral("Folder '%1' cannot be read").arg(absolute));
    if (root.name.isEmpty())
        fail(QStringLiteral("Folder '%1' has no name to give the archive's root").arg(absolute));
    scan(root, 0);

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    m_target = &file;

    QDataStream out(&file);
    out << QStringLiteral("KELCAB") << kWriterVersion << std::numeric_limits<qint64>::max()
        << std::numeric_limits<qint64>::max();
    const qint64 dataOffset = file.pos();
    if (out.status() != QDataStream::Ok || dataOffset != kHeaderSize)
        fail(QStringLiteral("Archive file '%1' cannot be written: %2").arg(path, file.errorString()));
    emit m_archive->headLoaded(kWriterVersion, dataOffset);

    std::vector<Node *> files;
    collectFiles(root, files);
    m_pool.reset(new Pool);
    packFiles(files);
    m_pool.reset();

    const qint64 treeOffset = file.pos();
    const Entry rootEntry = toEntry(root);
    out << rootEntry;
    // A file rewritten raw may have left a longer compressed attempt behind.
    if (out.status() != QDataStream::Ok || !file.resize(file.pos()) || !file.seek(0))
        fail(QStringLiteral("Archive file '%1' cannot be written: %2").arg(path, file.errorString()));
    out << QStringLiteral("KELCAB") << kWriterVersion << treeOffset << dataOffset;
    if (out.status() != QDataStream::Ok || !file.commit())
        fail(QStringLiteral("Archive file '%1' cannot be written: %2").arg(path, file.errorString()));
    m_target = nullptr;

    ArchivePrivate *d = m_archive->d.get();
    d->path = path;
    d->version = kWriterVersion;
    d->dataOffset = dataOffset;
    d->treeOffset = treeOffset;
    d->root = rootEntry;
    return true;
}

void ArchiveWriter::scan(Node &node, int depth)
{
    const QFileInfoList items = QDir(node.path).entryInfoList(
        QDir::Dirs | QDir::Files | QDir::NoSymLinks | QDir::Readable | QDir::NoDotAndDotDot, QDir::Name);
    // The reader refuses deeper trees; never write what cannot be read.
    if (!items.isEmpty() && depth + 1 > kMaxTreeDepth)
        fail(QStringLiteral("Folder tree is deeper than %1 levels at '%2'").arg(kMaxTreeDepth).arg(node.path));
    node.children.reserve(size_t(items.size()));
    for (const QFileInfo &item : items) {
        Node child;
        child.name = item.fileName();
        child.path = item.absoluteFilePath();
        if (item.isDir()) {
            child.dir = true;
            scan(child, depth + 1);
        } else {
            child.size = item.size();
        }
        node.children.push_back(std::move(child));
    }
}

void ArchiveWriter::collectFiles(Node &node, std::vector<Node *> &files)
{
    for (Node &child : node.children) {
        if (child.dir)
            collectFiles(child, files);
        else
            files.push_back(&child);
    }
}

void ArchiveWriter::packFiles(const std::vector<Node *> &files)
{
    for (Node *node : files)
        produce(node);
    while (!m_pending.empty())
        consumeFront();
}

void ArchiveWriter::produce(Node *node)
{
    auto job = std::make_shared<FileJob>();
    job->node = node;
    job->path = node->path;

    auto push = [this](std::unique_ptr<PendingItem> item) {
        m_bytesInFlight += item->bytes;
        m_pending.push_back(std::move(item));
        while (!m_pending.empty()
               && (m_bytesInFlight > kMaxBytesInFlight || m_pending.size() > kMaxItemsInFlight)) {
            consumeFront();
        }
    };

    QFile source(job->path);
    if (FSUtils::isMediaFileName(node->name)) {
        job->raw = true;
    } else {
        if (!source.open(QIODevice::ReadOnly))
            fail(QStringLiteral("File '%1' cannot be open for reading: %2").arg(job->path, source.errorString()));
        job->expected = source.size();
        job->raw = job->expected == 0;
    }
    if (job->raw) {
        source.close();
        auto item = std::make_unique<PendingItem>();
        item->job = job;
        item->first = item->last = true;
        push(std::move(item));
        return;
    }

    job->retain = job->expected <= kRetainLimit;
    qint64 done = 0;
    while (done < job->expected) {
        const int length = int(qMin<qint64>(kPageSize, job->expected - done));
        QByteArray page(length, Qt::Uninitialized);
        int got = 0;
        while (got < length) {
            const qint64 n = source.read(page.data() + got, length - got);
            if (n <= 0)
                fail(QStringLiteral("Secure copy has failed from %1: %2")
                         .arg(job->path, n < 0 ? source.errorString() : QStringLiteral("the file shrank while being packed")));
            got += int(n);
        }
        job->md5.addData(page);
        if (job->retain)
            job->retained.append(page);
        auto item = std::make_unique<PendingItem>();
        item->job = job;
        item->first = done == 0;
        done += length;
        item->last = done == job->expected;
        item->bytes = length;
        item->record = m_pool->compress(page, &item->task);
        if (item->last) {
            char extra;
            if (source.read(&extra, 1) != 0)
                fail(QStringLiteral("Secure copy has failed from %1: %2").arg(job->path, QStringLiteral("the file grew while being packed")));
            job->size = done;
        }
        push(std::move(item));
    }
}

void ArchiveWriter::consumeFront()
{
    std::unique_ptr<PendingItem> item = std::move(m_pending.front());
    m_pending.pop_front();
    m_bytesInFlight -= item->bytes;
    FileJob &job = *item->job;
    if (job.raw) {
        copyRaw(job);
        finish(job);
        return;
    }
    if (item->first) {
        job.mark = m_target->pos();
        job.compressed = 0;
    }
    // Rather than idle until the front page is ready, compress queued pages
    // here: the front one if no worker has it yet, else the latest ones.
    QRunnable *own = item->task;
    item->task = nullptr;
    bool ran = m_pool->runHere(own);
    while (!ran && item->record.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        for (auto it = m_pending.rbegin(); it != m_pending.rend() && !ran; ++it) {
            QRunnable *queued = (*it)->task;
            (*it)->task = nullptr;
            ran = m_pool->runHere(queued);
        }
        if (!ran)
            break;
        ran = false;
    }
    const QByteArray record = item->record.get();
    writeAll(record.constData(), record.size());
    job.compressed += record.size();
    if (item->last)
        finishCompressed(job);
}

void ArchiveWriter::writeAll(const char *data, qint64 length)
{
    if (m_target->write(data, length) != length)
        fail(QStringLiteral("Archive file '%1' cannot be written: %2").arg(m_target->fileName(), m_target->errorString()));
}

// Copies the open source into the archive at the current position, hashing
// what it copies; returns the byte count.
qint64 ArchiveWriter::copyHashed(QFile &source, const QString &path, QCryptographicHash &md5)
{
    QByteArray chunk(int(kCopyChunk), Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 n = source.read(chunk.data(), kCopyChunk);
        if (n < 0)
            fail(QStringLiteral("Secure copy has failed from %1: %2").arg(path, source.errorString()));
        if (n == 0)
            return total;
        md5.addData(chunk.constData(), int(n));
        writeAll(chunk.constData(), n);
        total += n;
    }
}

void ArchiveWriter::copyRaw(FileJob &job)
{
    QFile source(job.path);
    if (!source.open(QIODevice::ReadOnly))
        fail(QStringLiteral("File '%1' cannot be open for reading: %2").arg(job.path, source.errorString()));
    job.expected = source.size();
    job.mark = m_target->pos();
    const qint64 total = copyHashed(source, job.path, job.md5);
    if (total != job.expected)
        fail(QStringLiteral("Secure copy has failed from %1: %2").arg(job.path, QStringLiteral("the file changed size while being packed")));
    job.size = total;
    auto *node = static_cast<Node *>(job.node);
    node->options = {};
}

void ArchiveWriter::finishCompressed(FileJob &job)
{
    auto *node = static_cast<Node *>(job.node);
    node->offset = job.mark - kHeaderSize;
    node->size = job.size;
    node->hash = job.md5.result();
    node->options = {};
    // Stored compressed only when that saves more than 1 percent.
    const double saving = double(job.size - job.compressed) * 100.0 / double(job.size);
    if (saving > 1.0) {
        emit m_archive->entryCompressed(toEntry(*node), job.size, job.compressed);
        node->options = Entry::Compressed;
        node->size = job.compressed;
    } else {
        if (!m_target->seek(job.mark))
            fail(QStringLiteral("Archive file '%1' cannot be written: %2").arg(m_target->fileName(), m_target->errorString()));
        if (job.retain) {
            for (const QByteArray &page : qAsConst(job.retained))
                writeAll(page.constData(), page.size());
        } else {
            rewriteFromSource(job);
        }
    }
    job.retained.clear();
    finish(job);
}

// Stores a large file raw after compression did not pay: read it again, and
// make sure it is still the content that was hashed.
void ArchiveWriter::rewriteFromSource(FileJob &job)
{
    QFile source(job.path);
    if (!source.open(QIODevice::ReadOnly))
        fail(QStringLiteral("Secure copy cannot reopen %1: %2").arg(job.path, source.errorString()));
    QCryptographicHash md5(QCryptographicHash::Md5);
    const qint64 total = copyHashed(source, job.path, md5);
    if (total != job.size || md5.result() != job.md5.result())
        fail(QStringLiteral("Secure copy has failed from %1: %2").arg(job.path, QStringLiteral("the file changed while being packed")));
}

void ArchiveWriter::finish(FileJob &job)
{
    auto *node = static_cast<Node *>(job.node);
    node->offset = job.mark - kHeaderSize;
    node->hash = job.md5.result();
    if (job.raw)
        node->size = job.size;
    emit m_archive->entryOpened(toEntry(*node));
}

Entry ArchiveWriter::toEntry(const Node &node)
{
    if (node.dir) {
        QVector<Entry> children;
        children.reserve(int(node.children.size()));
        for (const Node &child : node.children)
            children.append(toEntry(child));
        return Entry(node.name, children);
    }
    Entry entry(node.name, node.offset, node.size);
    entry.setOptions(node.options);
    entry.setHash(node.hash);
    return entry;
}

} // namespace kelcab
