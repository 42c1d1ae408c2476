#pragma once

// What the benchmarks share: medians, and dropping files' cached pages for
// cold-cache figures.

#include <QDirIterator>
#include <QFile>
#include <QVector>

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace Bench {

// -1 for no values.
inline double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? -1 : values.at(values.size() / 2);
}

// Drops a file's cached pages so that the next reader goes to the disk.
// Written pages must reach the disk first: dirty pages are not dropped.
inline void dropCache(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

// The same for every file under folder.
inline void dropCaches(const QString &folder)
{
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext())
        dropCache(it.next());
}

} // namespace Bench
