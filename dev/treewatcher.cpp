#include "dev/treewatcher.h"

#include <QDir>
#include <QFileInfo>

TreeWatcher::TreeWatcher(const QString &root, int quietMs, QObject *parent)
    : QObject(parent), m_root(QDir::cleanPath(root))
{
    m_quiet.setSingleShot(true);
    m_quiet.setInterval(quietMs);
    connect(&m_quiet, &QTimer::timeout, this, [this] {
        QStringList paths = m_changed;
        m_changed.clear();
        paths.removeDuplicates();
        paths.sort();
        emit settled(paths);
    });
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this,
            &TreeWatcher::onDirectoryChanged);
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &TreeWatcher::onFileChanged);
    watchFolder(m_root, false);
}

void TreeWatcher::watch(const QString &path)
{
    if (!m_watcher.addPath(path) && !m_watcher.files().contains(path)
        && !m_watcher.directories().contains(path))
        ++m_unwatched;
}

TreeWatcher::Listing TreeWatcher::list(const QString &dir) const
{
    Listing listing;
    const QFileInfoList entries =
        QDir(dir).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries)
        listing.insert(entry.fileName(), {entry.isDir(), entry.lastModified(), entry.size()});
    return listing;
}

// The folder is watched before it is listed, so a file created in between is
// seen by one or the other. report: the folder is new, and so is everything
// in it.
void TreeWatcher::watchFolder(const QString &dir, bool report)
{
    watch(dir);
    const Listing listing = list(dir);
    m_listings.insert(dir, listing);
    for (auto it = listing.constBegin(); it != listing.constEnd(); ++it) {
        const QString path = dir + QLatin1Char('/') + it.key();
        if (report)
            changed(path);
        if (!it->dir)
            watch(path);
        else if (!QFileInfo(path).isSymLink()) // a link may lead back up the tree
            watchFolder(path, report);
    }
}

void TreeWatcher::onDirectoryChanged(const QString &dir)
{
    if (!QFileInfo(dir).isDir()) {
        // Removed: its own watch went with it; forget what was below.
        const QString prefix = dir + QLatin1Char('/');
        for (auto it = m_listings.begin(); it != m_listings.end();) {
            if (it.key() == dir || it.key().startsWith(prefix))
                it = m_listings.erase(it);
            else
                ++it;
        }
        return; // the parent reports the removal
    }
    const Listing before = m_listings.value(dir);
    const Listing now = list(dir);
    if (now == before)
        return; // only hidden entries came or went
    m_listings.insert(dir, now);
    for (auto it = now.constBegin(); it != now.constEnd(); ++it) {
        const QString path = dir + QLatin1Char('/') + it.key();
        const auto old = before.constFind(it.key());
        if (old != before.constEnd() && *old == *it)
            continue;
        changed(path);
        if (it->dir) {
            if (old == before.constEnd() || !old->dir)
                watchFolder(path, true);
        } else {
            // Saved by rename: the watch still follows the old file.
            m_watcher.removePath(path);
            watch(path);
        }
    }
    for (auto it = before.constBegin(); it != before.constEnd(); ++it)
        if (!now.contains(it.key()))
            changed(dir + QLatin1Char('/') + it.key());
}

void TreeWatcher::onFileChanged(const QString &file)
{
    // A file replaced or removed lost its watch; its folder's change puts a
    // watch on the new one. Here only the content counts.
    if (QFileInfo(file).isFile() && !m_watcher.files().contains(file))
        watch(file);
    changed(file);
}

void TreeWatcher::changed(const QString &path)
{
    m_changed.append(path.mid(m_root.size() + 1));
    m_quiet.start(); // restarts: the burst goes on
}
