// Archive extraction and directory compression against Info-ZIP, same run,
// same files. A realistic course tree (many small text files, a few large
// media files) of SIZE_MB (first argument, default 200) is zipped with
// `zip -r`, then extracted with `unzip -q` and through archiveUnzip (the
// plugin's task, with its progress reports), best of two rounds each, and the
// peak resident memory growth of this process during the extraction is
// read from /proc. Then zipCompressDirectory against `zip -r -q` on the same
// tree: time and archive size.
// Run: tests/isolate.sh build/bench/bench_zip [SIZE_MB]

#include "bridge/task.h"
#include "plugins/archive/carchive.h"
#include "plugins/zip/czip.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <cstdio>

namespace {

qint64 statusKb(const char *field)
{
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

bool resetPeak()
{
    QFile clear("/proc/self/clear_refs");
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

bool write(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// About 40 % text in files of 2 to 40 kB, 60 % media in four files.
qint64 makeTree(const QString &root, qint64 bytes)
{
    QRandomGenerator gen(7);
    const QStringList vocabulary = QString("lesson course quiz answer chapter image audio the a of "
                                      "and to in is it for on with as was at by").split(' ');
    // Pages are slices of one megabyte of words: text that deflates like
    // text, made fast.
    QByteArray words;
    while (words.size() < 1024 * 1024)
        words += vocabulary.at(int(gen.bounded(vocabulary.size()))).toUtf8()
            + (gen.bounded(12) ? " " : "\n");
    qint64 total = 0;
    for (int i = 0; total < bytes * 4 / 10; ++i) {
        const int size = 2048 + int(gen.bounded(38 * 1024));
        const QByteArray text = words.mid(int(gen.bounded(words.size() - size)), size);
        const QString name = QString("%1/lesson%2/page%3.html").arg(i % 20).arg(i % 97).arg(i);
        if (!write(root + '/' + name, text))
            return -1;
        total += text.size();
    }
    const qint64 media = (bytes - total) / 4;
    for (int m = 0; m < 4; ++m) {
        QByteArray data(int(media), Qt::Uninitialized);
        gen.fillRange(reinterpret_cast<quint32 *>(data.data()), data.size() / 4);
        if (!write(QString("%1/media/clip%2.mp4").arg(root).arg(m), data))
            return -1;
        total += data.size();
    }
    return total;
}

double runTool(const QString &program, const QStringList &args, const QString &dir = {})
{
    QProcess p;
    p.setWorkingDirectory(dir);
    QElapsedTimer timer;
    timer.start();
    p.start(program, args);
    if (!p.waitForFinished(600000) || p.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), p.readAllStandardError().constData());
        return -1;
    }
    return timer.nsecsElapsed() / 1e9;
}

// Starts the task, waits for its end; false when it did not resolve.
bool finish(const QSharedPointer<Task::ITask> &task, int *reports = nullptr)
{
    QSignalSpy resolved(task.data(), &Task::ITask::onResolved);
    QSignalSpy notified(task.data(), &Task::ITask::onNotify);
    task->start();
    const bool ok = resolved.wait(600000);
    if (reports)
        *reports = notified.count();
    return ok && resolved.first().first().value<ResponsePtr>()->toVariantMap().value("code", 0) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 sizeMb = argc > 1 ? QByteArray(argv[1]).toLongLong() : 200;
    QTemporaryDir dir;
    const QString tree = dir.filePath("tree"), zip = dir.filePath("tree.zip");
    const qint64 bytes = makeTree(tree, sizeMb * 1024 * 1024);
    if (bytes < 0 || runTool("zip", {"-q", "-r", zip, "."}, tree) < 0)
        return 1;
    std::printf("tree %.0f MB, zip %.0f MB\n", bytes / 1048576.0, QFileInfo(zip).size() / 1048576.0);

    CArchive archive;
    double unzipBest = 1e9, oursBest = 1e9;
    qint64 growthKb = 0;
    int reports = 0;
    for (int round = 0; round < 2; ++round) {
        QDir(dir.filePath("a")).removeRecursively();
        unzipBest = qMin(unzipBest, runTool("unzip", {"-q", "-o", zip, "-d", dir.filePath("a")}));
        QDir(dir.filePath("b")).removeRecursively();
        const bool peak = resetPeak();
        const qint64 before = statusKb("VmRSS:");
        QElapsedTimer timer;
        timer.start();
        if (!finish(archive.unzip("bench", zip, dir.filePath("b")), &reports))
            return 1;
        oursBest = qMin(oursBest, timer.nsecsElapsed() / 1e9);
        if (peak)
            growthKb = qMax(growthKb, statusKb("VmHWM:") - before);
    }
    std::printf("archiveUnzip   %.2f s (%d progress reports), unzip -q %.2f s, ratio %.2f\n",
                oursBest, reports, unzipBest, oursBest / unzipBest);
    std::printf("peak RSS growth during archiveUnzip %.1f MB\n", growthKb / 1024.0);

    CZip plugin;
    const QString ours = dir.filePath("ours.zip"), infozip = dir.filePath("infozip.zip");
    QElapsedTimer timer;
    timer.start();
    if (!finish(plugin.compressDirectory(ours, tree)))
        return 1;
    const double compressS = timer.nsecsElapsed() / 1e9;
    const double zipS = runTool("zip", {"-q", "-r", infozip, "."}, tree);
    std::printf("zipCompressDirectory %.2f s, %.1f MB; zip -r -q %.2f s, %.1f MB\n", compressS,
                QFileInfo(ours).size() / 1048576.0, zipS, QFileInfo(infozip).size() / 1048576.0);
    return 0;
}
