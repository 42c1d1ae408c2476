#pragma once

// What the benchmarks share: medians and their intervals, and dropping files'
// cached pages for cold-cache figures.

#include <QDirIterator>
#include <QFile>
#include <QString>
#include <QVector>

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace Bench {

// A count that the environment variable name may set; fallback when it is
// unset, zero or not a number.
inline int countFromEnv(const char *name, int fallback)
{
    const int n = qEnvironmentVariableIntValue(name);
    return n > 0 ? n : fallback;
}

// measured[i] / baseline[i] for each round that both have.
inline QVector<double> pairedRatios(const QVector<double> &measured, const QVector<double> &baseline)
{
    QVector<double> ratios;
    for (int i = 0; i < qMin(measured.size(), baseline.size()); ++i)
        ratios.append(measured.at(i) / baseline.at(i));
    return ratios;
}

// -1 for no values.
inline double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? -1 : values.at(values.size() / 2);
}

// An interval of at least 95 % confidence for the median, free of any
// assumption about the distribution: from the k-th smallest to the k-th
// largest value, k the largest rank whose value lies above the true median
// with at most 2.5 % chance (a binomial tail at one half). "none" below 6
// values, where no rank is that safe. A limit inside the interval is one
// that this series cannot tell apart from its median.
inline QString medianInterval(QVector<double> values)
{
    const int n = values.size();
    double tail = 0, term = 1; // P(X <= j) and P(X = j), times 2^n; X ~ Bin(n, 1/2)
    double scale = 1;
    for (int i = 0; i < n; ++i)
        scale *= 2;
    int k = 0;
    for (int j = 0; j < n; ++j) {
        tail += term;
        if (tail / scale > 0.025)
            break;
        k = j + 1;
        term = term * (n - j) / (j + 1);
    }
    if (k < 1)
        return QStringLiteral("none");
    std::sort(values.begin(), values.end());
    return QStringLiteral("%1-%2").arg(values.at(k - 1), 0, 'f', 2).arg(values.at(n - k), 0, 'f', 2);
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
