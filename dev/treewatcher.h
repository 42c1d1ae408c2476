#pragma once

#include <QDateTime>
#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTimer>

// Watches every folder and file under a root, folders created later
// included, and reports each burst of changes once, when the tree has been
// quiet for quietMs. Hidden files and folders (editor swap files, .git) are
// not watched and do not count, as packing leaves them out too.
class TreeWatcher : public QObject
{
    Q_OBJECT
public:
    explicit TreeWatcher(const QString &root, int quietMs = 150, QObject *parent = nullptr);

    // Paths that could not be watched (the system's watch limit).
    int unwatched() const { return m_unwatched; }

signals:
    // Paths relative to the root that changed during the burst, sorted.
    void settled(const QStringList &changed);

private:
    struct Stamp
    {
        bool dir = false;
        QDateTime modified;
        qint64 size = 0;
        bool operator==(const Stamp &o) const
        {
            return dir == o.dir && modified == o.modified && size == o.size;
        }
    };
    using Listing = QHash<QString, Stamp>;

    void watchFolder(const QString &dir, bool report);
    Listing list(const QString &dir) const;
    void onDirectoryChanged(const QString &dir);
    void onFileChanged(const QString &file);
    void changed(const QString &path);
    void watch(const QString &path);

    const QString m_root;
    QFileSystemWatcher m_watcher;
    QTimer m_quiet;
    QHash<QString, Listing> m_listings; // per watched folder
    QStringList m_changed;
    int m_unwatched = 0;
};
