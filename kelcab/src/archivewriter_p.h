#pragma once

#include <kelcab/entry.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QString>

#include <deque>
#include <memory>
#include <vector>

class QFileDevice;

namespace kelcab {

class Archive;
struct FileJob;
struct PendingItem;

// Packs a folder into an archive file. Pages are compressed on a private
// thread pool while this thread reads, hashes and writes in tree order, so
// the output is the same byte for byte as a one-thread pack; a bounded number
// of pages is in flight at any time.
class ArchiveWriter
{
public:
    explicit ArchiveWriter(Archive *archive);
    ~ArchiveWriter();

    bool save(const QDir &dir, const QString &path);

private:
    struct Node
    {
        QString name;
        QString path;
        bool dir = false;
        std::vector<Node> children;
        qint64 offset = 0;
        qint64 size = 0;
        QByteArray hash;
        Entry::Options options;
    };

    void scan(Node &node, int depth);
    void collectFiles(Node &node, std::vector<Node *> &files);
    void packFiles(const std::vector<Node *> &files);
    void produce(Node *node);
    void consumeFront();
    qint64 copyHashed(QFile &source, const QString &path, QCryptographicHash &md5);
    void copyRaw(FileJob &job);
    void finishCompressed(FileJob &job);
    void rewriteFromSource(FileJob &job);
    void finish(FileJob &job);
    void writeAll(const char *data, qint64 length);
    static Entry toEntry(const Node &node);

    Archive *m_archive;
    QFileDevice *m_target = nullptr;
    std::deque<std::unique_ptr<PendingItem>> m_pending;
    qint64 m_bytesInFlight = 0;
    class Pool;
    std::unique_ptr<Pool> m_pool;
};

} // namespace kelcab
