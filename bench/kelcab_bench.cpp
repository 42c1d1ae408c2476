// Benchmark of the kelcab library: packing, reading, lookup and memory.
//
//   bench_kelcab [--corpus DIR] [--big-mb N] [--no-zip] [--tools-only]
//
// --tools-only: pack and zip once, untimed, then only the kelcab tool
// against unzip (extract, verify). KELCAB_BENCH_ROUNDS sets the runs (3);
// KELCAB_BENCH_BEFORE names an earlier kelcab tool to extract with as well.
//
// DIR defaults to bench/corpus/course (made by bench/make-corpus.sh). Every
// figure is set against a baseline measured in the same run on the same data,
// with the same number of runs and the same rule (best, or median and best),
// measured and baseline runs taken in turn so that other load on the machine
// hits both alike. The kelcab tool is set against Info-ZIP's zip and unzip:
// each side is a process of its own started the same way; "cold" runs drop
// the archive's cached pages (posix_fadvise) first.

#include "benchsupport.h"
#include <kelcab/archive.h>
#include <kelcab/entry.h>
#include <kelcab/fsutils.h>

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

using namespace Bench;

namespace {

constexpr int kPage = 524288;

double mib(qint64 bytes) { return double(bytes) / (1024.0 * 1024.0); }

long peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

void line(const char *label, const QString &text)
{
    printf("%-34s %s\n", label, qPrintable(text));
    fflush(stdout);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

const int kRounds = Bench::countFromEnv("KELCAB_BENCH_ROUNDS", 3);

// Seconds a program takes, or -1 when it fails.
double timeProcess(const QString &program, const QStringList &arguments, const QString &workDir = QString())
{
    QProcess process;
    process.setWorkingDirectory(workDir);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return -1;
    return double(timer.nsecsElapsed()) / 1e9;
}

struct Times
{
    QVector<double> runs;
    bool failed = false;
    void add(double s) { failed = failed || s < 0; runs.append(s); }
    double best() const { return runs.isEmpty() ? -1 : *std::min_element(runs.begin(), runs.end()); }
    double median() const
    {
        QVector<double> v = runs;
        std::sort(v.begin(), v.end());
        return v.isEmpty() ? -1 : v.at(v.size() / 2);
    }
};

void compare(const char *label, const char *ours, const Times &a, const char *theirs, const Times &b)
{
    if (a.failed || b.failed) {
        line(label, QStringLiteral("a run failed"));
        return;
    }
    line(label, QStringLiteral("%1 median %2 s (best %3), %4 median %5 s (best %6): %7x of the baseline (best %8x)")
                    .arg(QLatin1String(ours)).arg(a.median(), 0, 'f', 2).arg(a.best(), 0, 'f', 2)
                    .arg(QLatin1String(theirs)).arg(b.median(), 0, 'f', 2).arg(b.best(), 0, 'f', 2)
                    .arg(a.median() / b.median(), 0, 'f', 2).arg(a.best() / b.best(), 0, 'f', 2));
}

// The kelcab tool against unzip on the same tree: extract (warm and cold)
// and verify. The output folder is emptied between runs, outside the timing.
void benchTools(const QString &archive, const QString &zipFile, const QString &tmp)
{
    const QString tool = QStringLiteral(KELCAB_TOOL);
    // KELCAB_BENCH_BEFORE=<an earlier kelcab tool> extracts with it too, in the same turns.
    const QString before = qEnvironmentVariable("KELCAB_BENCH_BEFORE");
    const QString out = tmp + QStringLiteral("/out");
    Times extract[2], unzip[2], verify, test, extractBefore[2];
    for (int round = 0; round < kRounds; ++round) {
        for (int cold = 0; cold < 2; ++cold) {
            if (!before.isEmpty()) {
                QDir(out).removeRecursively();
                QDir().mkpath(out);
                if (cold)
                    dropCache(archive);
                extractBefore[cold].add(timeProcess(before, {QStringLiteral("extract"), archive, out}));
            }
            QDir(out).removeRecursively();
            QDir().mkpath(out);
            if (cold)
                dropCache(archive);
            extract[cold].add(timeProcess(tool, {QStringLiteral("extract"), archive, out}));
            QDir(out).removeRecursively();
            QDir().mkpath(out);
            if (cold)
                dropCache(zipFile);
            unzip[cold].add(timeProcess(QStringLiteral("unzip"), {QStringLiteral("-q"), zipFile, QStringLiteral("-d"), out}));
        }
        verify.add(timeProcess(tool, {QStringLiteral("verify"), archive}));
        test.add(timeProcess(QStringLiteral("unzip"), {QStringLiteral("-tq"), zipFile}));
    }
    QDir(out).removeRecursively();
    compare("kelcab extract, warm:", "extract", extract[0], "unzip -q", unzip[0]);
    compare("kelcab extract, cold:", "extract", extract[1], "unzip -q", unzip[1]);
    if (!before.isEmpty()) {
        compare("earlier build's extract, warm:", "extract", extractBefore[0], "unzip -q", unzip[0]);
        compare("earlier build's extract, cold:", "extract", extractBefore[1], "unzip -q", unzip[1]);
    }
    compare("kelcab verify, warm:", "verify", verify, "unzip -tq", test);
    line("  runs:", QStringLiteral("%1 of each, taken in turn").arg(kRounds));
}

struct Corpus
{
    qint64 bytes = 0;
    qint64 files = 0;
    qint64 compressibleBytes = 0;   // what the packer sends through deflate
    QStringList compressible;
};

Corpus survey(const QString &dir)
{
    Corpus corpus;
    QDirIterator it(dir, QDir::Files | QDir::NoSymLinks | QDir::Readable, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++corpus.files;
        corpus.bytes += it.fileInfo().size();
        if (it.fileInfo().size() > 0 && !kelcab::FSUtils::isMediaFileName(it.fileName())) {
            corpus.compressible << it.filePath();
            corpus.compressibleBytes += it.fileInfo().size();
        }
    }
    return corpus;
}

// Single-thread deflate level 9 of the very pages the packer compresses;
// only the compress2 calls are timed.
double deflateSeconds(const Corpus &corpus)
{
    qint64 nanos = 0;
    std::vector<Bytef> out(compressBound(kPage));
    for (const QString &path : corpus.compressible) {
        const QByteArray data = readFile(path);
        QElapsedTimer timer;
        timer.start();
        for (int at = 0; at < data.size(); at += kPage) {
            const int length = qMin(kPage, data.size() - at);
            uLongf outLength = uLongf(out.size());
            compress2(out.data(), &outLength, reinterpret_cast<const Bytef *>(data.constData() + at), uLong(length), 9);
        }
        nanos += timer.nsecsElapsed();
    }
    return double(nanos) / 1e9;
}

// Every compressed file entry under dir.
void forEachCompressed(const kelcab::Entry &dir, const std::function<void(const kelcab::Entry &)> &visit)
{
    for (const kelcab::Entry &e : dir.children()) {
        if (e.isDir())
            forEachCompressed(e, visit);
        else if (e.options().testFlag(kelcab::Entry::Compressed))
            visit(e);
    }
}

// Raw zlib inflate of every compressed page of an archive, from memory.
double inflateSeconds(kelcab::Archive &archive, qint64 *bytesOut)
{
    const QByteArray file = readFile(archive.path());
    std::vector<Bytef> page(kPage);
    qint64 nanos = 0;
    *bytesOut = 0;
    forEachCompressed(archive.root(), [&](const kelcab::Entry &e) {
        const char *at = file.constData() + archive.dataOffset() + e.offset();
        const char *end = at + e.size();
        QElapsedTimer timer;
        timer.start();
        while (at < end) {
            const quint32 n = qFromBigEndian<quint32>(at);
            uLongf length = qFromBigEndian<quint32>(at + 4);
            uncompress(page.data(), &length, reinterpret_cast<const Bytef *>(at + 8), n - 4);
            *bytesOut += qint64(length);
            at += 4 + n;
        }
        nanos += timer.nsecsElapsed();
    });
    return double(nanos) / 1e9;
}

// The same pages read through the library's devices.
double readSeconds(kelcab::Archive &archive, qint64 chunk, qint64 *bytesOut)
{
    QByteArray buffer(int(chunk), Qt::Uninitialized);
    *bytesOut = 0;
    QElapsedTimer timer;
    timer.start();
    forEachCompressed(archive.root(), [&](const kelcab::Entry &e) {
        std::unique_ptr<QIODevice> device(archive.makeReadOnlyDevice(e));
        qint64 n;
        while ((n = device->read(buffer.data(), chunk)) > 0)
            *bytesOut += n;
    });
    return double(timer.nsecsElapsed()) / 1e9;
}

void benchFind(const QString &tmp)
{
    const int count = 10000;
    const QString dir = tmp + QStringLiteral("/lookup/assets");
    QDir().mkpath(dir);
    QStringList names;
    for (int i = 0; i < count; ++i) {
        names << QStringLiteral("chunk-%1.%2.js").arg(i).arg(i * 7919 % 10007, 5, 10, QLatin1Char('0'));
        QFile(dir + QLatin1Char('/') + names.last()).open(QIODevice::WriteOnly);
    }
    const QString path = tmp + QStringLiteral("/lookup.kcab");
    kelcab::Archive archive;
    archive.save(QDir(tmp + QStringLiteral("/lookup")), path);
    archive.load(path);

    QStringList queries;
    QRandomGenerator gen(42);
    for (int i = 0; i < 20000; ++i) {
        QString q = QStringLiteral("lookup/assets/") + names.at(int(gen.bounded(count)));
        queries << (i % 2 ? q.toUpper() : q);
    }
    int found = 0;
    QElapsedTimer timer;
    timer.start();
    for (int round = 0; round < 10; ++round) {
        for (const QString &q : queries)
            found += archive.find(q).isValid();
    }
    const double indexed = 10.0 * queries.size() / (double(timer.nsecsElapsed()) / 1e9);

    // The plain scan of each level that the index replaces.
    const kelcab::Entry assets = archive.find(QStringLiteral("lookup/assets"));
    const QVector<kelcab::Entry> children = assets.children();
    timer.restart();
    int scanned = 0;
    for (int i = 0; i < 2000; ++i) {
        const QStringRef name = QStringRef(&queries.at(i)).mid(14);
        for (const kelcab::Entry &child : children) {
            if (QStringRef::compare(name, child.name(), Qt::CaseInsensitive) == 0) {
                ++scanned;
                break;
            }
        }
    }
    const double linear = 2000.0 / (double(timer.nsecsElapsed()) / 1e9);
    line("find, 10,000-entry folder:", QStringLiteral("%1 lookups/s indexed vs %2 lookups/s linear scan = %3x (%4/%5 found)")
                                          .arg(indexed, 0, 'f', 0).arg(linear, 0, 'f', 0).arg(indexed / linear, 0, 'f', 0)
                                          .arg(found).arg(10 * queries.size()));
}

// Child modes, so that each peak RSS belongs to one operation.
int rssPack(const QString &dir, const QString &archivePath)
{
    kelcab::Archive archive;
    if (!archive.save(QDir(dir), archivePath))
        return 1;
    printf("%ld\n", peakRssMiB());
    return 0;
}

int rssRead(const QString &archivePath)
{
    kelcab::Archive archive;
    if (!archive.load(archivePath))
        return 1;
    const kelcab::Entry big = archive.find(archive.root().name() + QStringLiteral("/big.js"));
    std::unique_ptr<QIODevice> device(archive.makeReadOnlyDevice(big));
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 total = 0, n;
    while ((n = device->read(buffer.data(), buffer.size())) > 0)
        total += n;
    printf("%ld %lld\n", peakRssMiB(), total);
    return n < 0 ? 1 : 0;
}

QByteArray runSelf(const QStringList &arguments, double *seconds)
{
    QProcess process;
    QElapsedTimer timer;
    timer.start();
    process.start(QCoreApplication::applicationFilePath(), arguments);
    process.waitForFinished(-1);
    *seconds = double(timer.nsecsElapsed()) / 1e9;
    return process.readAllStandardOutput().trimmed();
}

void benchBigFile(const QString &tmp, int megabytes)
{
    const QString dir = tmp + QStringLiteral("/bigtree");
    QDir().mkpath(dir);
    {
        // Text that repeats every 16 KiB: deflate finds long matches at once,
        // so the run measures memory, not compression speed.
        QFile file(dir + QStringLiteral("/big.js"));
        file.open(QIODevice::WriteOnly);
        QRandomGenerator gen(7);
        QByteArray chunk;
        while (chunk.size() < 16384)
            chunk += "var v" + QByteArray::number(gen.bounded(100000)) + " = f(" + QByteArray::number(gen.bounded(1000)) + ");\n";
        chunk.truncate(16384);
        QByteArray mebibyte;
        for (int i = 0; i < 64; ++i)
            mebibyte += chunk;
        for (int i = 0; i < megabytes; ++i) {
            mebibyte.replace(0, 16, QByteArray::number(i).rightJustified(15, ' ') + '\n');
            file.write(mebibyte);
        }
    }
    const QString archivePath = tmp + QStringLiteral("/big.kcab");
    double packSeconds = 0, readSeconds = 0;
    const QByteArray packed = runSelf({QStringLiteral("--rss-pack"), dir, archivePath}, &packSeconds);
    const QList<QByteArray> read = runSelf({QStringLiteral("--rss-read"), archivePath}, &readSeconds).split(' ');
    const qint64 size = QFileInfo(dir + QStringLiteral("/big.js")).size();
    line("peak RSS, packing a 1 GB file:", QStringLiteral("%1 MiB (%2 MiB in %3 s, %4 MiB/s)")
                                            .arg(QString::fromLatin1(packed)).arg(mib(size), 0, 'f', 0)
                                            .arg(packSeconds, 0, 'f', 1).arg(mib(size) / packSeconds, 0, 'f', 1));
    line("peak RSS, reading it back:", QStringLiteral("%1 MiB (%2 MiB read in %3 s)")
                                        .arg(QString::fromLatin1(read.value(0))).arg(mib(read.value(1).toLongLong()), 0, 'f', 0)
                                        .arg(readSeconds, 0, 'f', 1));
    QFile::remove(dir + QStringLiteral("/big.js"));
    QFile::remove(archivePath);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == QLatin1String("--rss-pack"))
        return rssPack(args.value(2), args.value(3));
    if (args.value(1) == QLatin1String("--rss-read"))
        return rssRead(args.value(2));

    QString corpusDir = QStringLiteral(KELCAB_BENCH_CORPUS);
    int bigMb = 1024;
    bool zip = true;
    bool toolsOnly = false;
    for (int i = 1; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--corpus"))
            corpusDir = args.value(++i);
        else if (args.at(i) == QLatin1String("--big-mb"))
            bigMb = args.value(++i).toInt();
        else if (args.at(i) == QLatin1String("--no-zip"))
            zip = false;
        else if (args.at(i) == QLatin1String("--tools-only"))
            toolsOnly = true;
    }
    if (!QFileInfo(corpusDir).isDir()) {
        fprintf(stderr, "no corpus at %s; run bench/make-corpus.sh\n", qPrintable(corpusDir));
        return 1;
    }
    QTemporaryDir tmp;
    const Corpus corpus = survey(corpusDir);
    line("corpus:", QStringLiteral("%1 files, %2 MiB (%3 MiB sent through deflate), %4 threads")
                        .arg(corpus.files).arg(mib(corpus.bytes), 0, 'f', 1).arg(mib(corpus.compressibleBytes), 0, 'f', 1)
                        .arg(QThread::idealThreadCount()));

    // Warm the page cache so that neither side pays for the disk.
    survey(corpusDir);
    for (const QString &path : corpus.compressible)
        readFile(path);

    // Baselines and pack alternate, best of each: the machine is shared, and
    // all should see the same conditions. zip stores raw what the packer
    // stores raw (-n), so that neither deflates what the other does not.
    double deflate = 1e9, pack = 1e9;
    Times packTimes, zipTimes;
    const QString archivePath = tmp.filePath(QStringLiteral("course.kcab"));
    const QString zipPath = tmp.filePath(QStringLiteral("course.zip"));
    const QStringList zipArguments{QStringLiteral("-9"), QStringLiteral("-r"), QStringLiteral("-q"),
                                   QStringLiteral("-n"),
                                   QStringLiteral(".webm:.mp4:.oga:.ogg:.mp3:.jpg:.jpeg:.gif:.png"),
                                   zipPath, QFileInfo(corpusDir).fileName()};
    for (int round = 0; round < (toolsOnly ? 1 : kRounds); ++round) {
        if (!toolsOnly)
            deflate = qMin(deflate, deflateSeconds(corpus));
        kelcab::Archive packer;
        QElapsedTimer timer;
        timer.start();
        packer.save(QDir(corpusDir), archivePath);
        packTimes.add(double(timer.nsecsElapsed()) / 1e9);
        pack = qMin(pack, packTimes.runs.last());
        if (zip) {
            QFile::remove(zipPath);
            zipTimes.add(timeProcess(QStringLiteral("zip"), zipArguments, QFileInfo(corpusDir).absolutePath()));
        }
    }
    QElapsedTimer timer;
    const qint64 packedSize = QFileInfo(archivePath).size();
    if (!toolsOnly) {
        line("deflate -9, one thread, pages:", QStringLiteral("%1 s, %2 MiB/s").arg(deflate, 0, 'f', 2)
                                                 .arg(mib(corpus.compressibleBytes) / deflate, 0, 'f', 1));
        line("kelcab pack (whole tree):", QStringLiteral("%1 s, %2 MiB/s of input, %3 MiB/s of deflated input -> %4 MiB (%5%)")
                                           .arg(pack, 0, 'f', 2).arg(mib(corpus.bytes) / pack, 0, 'f', 1)
                                           .arg(mib(corpus.compressibleBytes) / pack, 0, 'f', 1).arg(mib(packedSize), 0, 'f', 1)
                                           .arg(100.0 * double(packedSize) / double(corpus.bytes), 0, 'f', 1));
        line("  pack vs one-thread deflate:", QStringLiteral("%1x (best of %2 each)").arg(deflate / pack, 0, 'f', 2).arg(kRounds));
    }

    if (zip && !zipTimes.failed) {
        const qint64 zipSize = QFileInfo(zipPath).size();
        line("zip -9 -r -n (media raw):", QStringLiteral("best %1 s, %2 MiB/s of input -> %3 MiB (%4%); pack is %5x faster (best of %6 each)")
                              .arg(zipTimes.best(), 0, 'f', 2).arg(mib(corpus.bytes) / zipTimes.best(), 0, 'f', 1)
                              .arg(mib(zipSize), 0, 'f', 1).arg(100.0 * double(zipSize) / double(corpus.bytes), 0, 'f', 1)
                              .arg(zipTimes.best() / pack, 0, 'f', 2).arg(zipTimes.runs.size()));
        compare("  pack vs zip:", "pack", packTimes, "zip", zipTimes);
        benchTools(archivePath, zipPath, tmp.path());
        if (toolsOnly)
            return 0;
    } else if (zip) {
        line("zip -9 -r -n:", QStringLiteral("zip not available or failed"));
    }

    kelcab::Archive reader;
    reader.load(archivePath);
    qint64 inflated = 0, viaDevice = 0, viaSmall = 0;
    double inflate = 1e9, read = 1e9, readSmall = 1e9;
    for (int round = 0; round < 3; ++round) {
        inflate = qMin(inflate, inflateSeconds(reader, &inflated));
        read = qMin(read, readSeconds(reader, 1 << 20, &viaDevice));
        readSmall = qMin(readSmall, readSeconds(reader, 16384, &viaSmall));
    }
    line("zlib inflate, one thread, pages:", QStringLiteral("%1 s, %2 MiB/s").arg(inflate, 0, 'f', 2)
                                               .arg(mib(inflated) / inflate, 0, 'f', 1));
    line("read via devices, 1 MiB reads:", QStringLiteral("%1 s, %2 MiB/s = %3x of inflate%4")
                                             .arg(read, 0, 'f', 2).arg(mib(viaDevice) / read, 0, 'f', 1)
                                             .arg(inflate / read, 0, 'f', 2)
                                             .arg(viaDevice == inflated ? QString() : QStringLiteral(" (BYTE COUNT DIFFERS)")));
    line("read via devices, 16 KiB reads:", QStringLiteral("%1 s, %2 MiB/s = %3x of inflate")
                                              .arg(readSmall, 0, 'f', 2).arg(mib(viaSmall) / readSmall, 0, 'f', 1)
                                              .arg(inflate / readSmall, 0, 'f', 2));

    benchFind(tmp.path());
    if (bigMb > 0)
        benchBigFile(tmp.path(), bigMb);
    return 0;
}
