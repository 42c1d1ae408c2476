#include "commands.h"

#include <kelcab/archive.h>
#include <kelcab/entry.h>
#include <kelcab/stagedfile.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <fcntl.h>
#include <unistd.h>

namespace kelcabtool {

namespace {

const char kUsage[] =
    "Usage: kelcab COMMAND ARGUMENTS\n"
    "\n"
    "Commands:\n"
    "  pack DIR ARCHIVE      Pack the folder DIR into the archive file ARCHIVE.\n"
    "                        The archive's root is named after DIR; hidden files\n"
    "                        and symbolic links are left out. Prints a summary;\n"
    "                        large trees also show progress on stderr.\n"
    "  pack --check DIR      Check DIR before packing, without packing: names\n"
    "                        that differ only in letter case (the archive finds\n"
    "                        names without regard to case, so only the first\n"
    "                        is ever served) and names a page cannot request as\n"
    "                        written (with # ? % or \\). One line per problem;\n"
    "                        exit code 0 when there is none, 1 otherwise.\n"
    "  list ARCHIVE          One line per file: path, stored size, 'compressed'\n"
    "                        or 'raw', MD5 (hex), separated by tabs.\n"
    "  cat ARCHIVE PATH      Write one file's bytes to stdout. PATH starts with\n"
    "                        the root folder's name (webapp/index.html); when\n"
    "                        nothing matches it is also tried inside the root\n"
    "                        (index.html). Letter case and \\ versus / do not\n"
    "                        matter.\n"
    "  extract [--sync] ARCHIVE DIR\n"
    "                        Recreate the tree (root folder included) under DIR,\n"
    "                        checking every file's MD5; a damaged file is not\n"
    "                        written. Each file gets its name only once it is\n"
    "                        complete and checked. --sync: flush everything to\n"
    "                        the disk once at the end, before exiting.\n"
    "  verify ARCHIVE        Read every file back and check its MD5; names every\n"
    "                        file that is unreadable or does not match.\n"
    "  help, --help, -h      Show this text.\n"
    "\n"
    "Exit codes:\n"
    "  0  success\n"
    "  1  usage error; pack --check: problems found\n"
    "  2  the archive is missing, not a kelcab file, or its header or tree is\n"
    "     damaged\n"
    "  3  cat: no file at PATH\n"
    "  4  damaged content: a file cannot be read, fails its checksum, or has an\n"
    "     unsafe name (extract, verify, cat)\n"
    "  5  pack or extract cannot read the source or write the output\n";

void printErr(const QString &text)
{
    fputs(("kelcab: " + text + QLatin1Char('\n')).toUtf8().constData(), stderr);
}

void printOut(const QString &text)
{
    fputs((text + QLatin1Char('\n')).toUtf8().constData(), stdout);
}

QString humanBytes(qint64 bytes)
{
    return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
}

// Loads an archive or explains why not; null means the caller exits BadArchive.
std::unique_ptr<kelcab::Archive> openArchive(const QString &path)
{
    try {
        std::unique_ptr<kelcab::Archive> archive(kelcab::Archive::makeAndLoad(path));
        if (!archive) {
            QFile file(path);
            file.open(QIODevice::ReadOnly);
            printErr(QStringLiteral("cannot open %1: %2").arg(path, file.errorString()));
        }
        return archive;
    } catch (const std::exception &error) {
        printErr(QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(error.what())));
        return nullptr;
    }
}

// Every file in stored order with its archive path (root name first).
void forEachFile(const kelcab::Entry &entry, const QString &path,
                 const std::function<void(const kelcab::Entry &, const QString &)> &visit)
{
    const QVector<kelcab::Entry> children = entry.children();
    for (const kelcab::Entry &child : children) {
        const QString childPath = path + QLatin1Char('/') + child.name();
        if (child.isDir())
            forEachFile(child, childPath, visit);
        else
            visit(child, childPath);
    }
}

// Reads an entry to its end, feeding each chunk to sink; returns an error
// text, empty on success.
QString readEntry(kelcab::Archive &archive, const kelcab::Entry &entry,
                  QCryptographicHash &md5, const std::function<bool(const char *, qint64)> &sink)
{
    std::unique_ptr<QIODevice> device;
    try {
        device.reset(archive.makeReadOnlyDevice(entry));
    } catch (const std::exception &error) {
        return QString::fromLocal8Bit(error.what());
    }
    if (!device)
        return QStringLiteral("stored range cannot be opened");
    // One buffer for every entry: a fresh megabyte per file costs a mapping
    // and its page faults, which shows on trees of many small files.
    static QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 n = device->read(buffer.data(), buffer.size());
        if (n < 0)
            return QStringLiteral("unreadable: %1").arg(device->errorString());
        if (n == 0)
            break;
        md5.addData(buffer.constData(), int(n));
        total += n;
        if (!sink(buffer.constData(), n))
            return QString();
    }
    if (!entry.options().testFlag(kelcab::Entry::Compressed) && total != entry.size())
        return QStringLiteral("unreadable: %1 of %2 bytes").arg(total).arg(entry.size());
    return QString();
}

QString checksumProblem(const kelcab::Entry &entry, const QByteArray &actual)
{
    if (entry.hash().size() != actual.size())
        return QStringLiteral("no MD5 stored");
    if (entry.hash() != actual)
        return QStringLiteral("MD5 mismatch: stored %1, content %2")
            .arg(QString::fromLatin1(entry.hash().toHex()), QString::fromLatin1(actual.toHex()));
    return QString();
}

bool isInside(const QString &path, const QString &dir)
{
    const QString file = QFileInfo(path).absoluteFilePath();
    const QString folder = QFileInfo(dir).canonicalFilePath();
    const QString parent = QFileInfo(QFileInfo(file).absolutePath()).canonicalFilePath();
    return !folder.isEmpty() && (parent == folder || parent.startsWith(folder + QLatin1Char('/')));
}

int pack(const QString &dir, const QString &archivePath)
{
    if (!QFileInfo(dir).isDir()) {
        printErr(QStringLiteral("%1 is not a folder").arg(dir));
        return WriteFailed;
    }
    if (isInside(archivePath, dir)) {
        printErr(QStringLiteral("the archive %1 must not be inside the folder being packed").arg(archivePath));
        return Usage;
    }

    qint64 totalFiles = 0;
    qint64 totalBytes = 0;
    QDirIterator it(dir, QDir::Files | QDir::NoSymLinks | QDir::Readable, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++totalFiles;
        totalBytes += it.fileInfo().size();
    }
    const bool showProgress = totalFiles >= 2000 || totalBytes >= 64 * 1024 * 1024;
    const bool tty = isatty(fileno(stderr));

    kelcab::Archive archive;
    qint64 files = 0;
    qint64 bytesIn = 0;
    qint64 lastSource = -1;
    QElapsedTimer sinceUpdate;
    sinceUpdate.start();
    auto progress = [&](bool final) {
        if (!showProgress)
            return;
        const QString line = QStringLiteral("packing: %1/%2 files, %3 of %4")
                                 .arg(files).arg(totalFiles).arg(humanBytes(bytesIn), humanBytes(totalBytes));
        fputs(("kelcab: " + line + (tty ? (final ? "\n" : "\r") : "\n")).toUtf8().constData(), stderr);
    };
    QObject::connect(&archive, &kelcab::Archive::entryCompressed,
                     [&](const kelcab::Entry &, qlonglong size, qlonglong) { lastSource = size; });
    QObject::connect(&archive, &kelcab::Archive::entryOpened, [&](const kelcab::Entry &entry) {
        ++files;
        bytesIn += entry.options().testFlag(kelcab::Entry::Compressed) ? lastSource : entry.size();
        if (sinceUpdate.elapsed() >= (tty ? 250 : 2000)) {
            sinceUpdate.restart();
            progress(false);
        }
    });

    try {
        if (!archive.save(QDir(dir), archivePath)) {
            QSaveFile probe(archivePath);
            probe.open(QIODevice::WriteOnly);
            printErr(QStringLiteral("cannot create %1: %2").arg(archivePath, probe.errorString()));
            return WriteFailed;
        }
    } catch (const std::exception &error) {
        if (showProgress && tty)
            fputs("\n", stderr);
        printErr(QStringLiteral("pack failed: %1").arg(QString::fromLocal8Bit(error.what())));
        return WriteFailed;
    }
    progress(true);
    const qint64 bytesOut = QFileInfo(archivePath).size();
    printOut(QStringLiteral("packed %1 %2: %3 bytes in, %4 bytes out (%5%)")
                 .arg(files).arg(files == 1 ? QStringLiteral("file") : QStringLiteral("files"))
                 .arg(bytesIn).arg(bytesOut)
                 .arg(bytesIn > 0 ? QString::number(100.0 * double(bytesOut) / double(bytesIn), 'f', 1)
                                  : QStringLiteral("-")));
    return Ok;
}

// What pack would store, checked folder by folder: the same entries in the
// same order (by name, hidden files and links left out).
int check(const QString &dir)
{
    if (!QFileInfo(dir).isDir()) {
        printErr(QStringLiteral("%1 is not a folder").arg(dir));
        return WriteFailed;
    }
    int problems = 0;
    int entries = 0;
    std::function<void(const QString &, const QString &)> walk = [&](const QString &fsPath,
                                                                      const QString &shown) {
        const QFileInfoList items = QDir(fsPath).entryInfoList(
            QDir::Dirs | QDir::Files | QDir::NoSymLinks | QDir::Readable | QDir::NoDotAndDotDot,
            QDir::Name);
        QHash<QString, QString> firstByFolded;
        for (const QFileInfo &item : items) {
            ++entries;
            const QString name = item.fileName();
            const QString path = shown + QLatin1Char('/') + name;
            const QString folded = name.toCaseFolded();
            const auto first = firstByFolded.constFind(folded);
            if (first != firstByFolded.constEnd()) {
                ++problems;
                printOut(QStringLiteral("%1: same name as %2 when letter case is ignored; "
                                        "only %2 is ever found")
                             .arg(path, shown + QLatin1Char('/') + *first));
            } else {
                firstByFolded.insert(folded, name);
            }
            // '#' and '?' end the path of a URL, '%' starts an escape and '\'
            // becomes '/': written as is, such a name asks for another file.
            QString bad;
            for (const QChar c : name)
                if ((c == QLatin1Char('#') || c == QLatin1Char('?') || c == QLatin1Char('%')
                     || c == QLatin1Char('\\') || c.unicode() < 0x20 || c.unicode() == 0x7f)
                    && !bad.contains(c))
                    bad += c;
            if (!bad.isEmpty()) {
                ++problems;
                QStringList shownChars;
                for (const QChar c : qAsConst(bad))
                    shownChars << (c.unicode() < 0x20 || c.unicode() == 0x7f
                                       ? QStringLiteral("control character %1").arg(c.unicode())
                                       : QStringLiteral("'%1'").arg(c));
                printOut(QStringLiteral("%1: a page cannot request this name as written (%2)")
                             .arg(path, shownChars.join(QStringLiteral(", "))));
            }
            if (item.isDir())
                walk(item.absoluteFilePath(), path);
        }
    };
    walk(dir, QFileInfo(QDir::cleanPath(QFileInfo(dir).absoluteFilePath())).fileName());
    if (problems) {
        printErr(QStringLiteral("%1 problem(s) in %2 names").arg(problems).arg(entries));
        return Problems;
    }
    printOut(QStringLiteral("%1 names checked, no problems").arg(entries));
    return Ok;
}

int list(const QString &archivePath)
{
    std::unique_ptr<kelcab::Archive> archive = openArchive(archivePath);
    if (!archive)
        return BadArchive;
    const kelcab::Entry root = archive->root();
    forEachFile(root, root.name(), [](const kelcab::Entry &entry, const QString &path) {
        printOut(QStringLiteral("%1\t%2\t%3\t%4")
                     .arg(path).arg(entry.size())
                     .arg(entry.options().testFlag(kelcab::Entry::Compressed) ? QStringLiteral("compressed")
                                                                               : QStringLiteral("raw"),
                          QString::fromLatin1(entry.hash().toHex())));
    });
    return Ok;
}

int cat(const QString &archivePath, const QString &path)
{
    std::unique_ptr<kelcab::Archive> archive = openArchive(archivePath);
    if (!archive)
        return BadArchive;
    kelcab::Entry entry = archive->find(path);
    if (!entry.isValid())
        entry = archive->find(archive->root().name() + QLatin1Char('/') + path);
    if (!entry.isValid() || entry.isDir()) {
        printErr(QStringLiteral("%1: no file %2").arg(archivePath, path));
        return NotFound;
    }
    QFile out;
    out.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered);
    bool writeFailed = false;
    QCryptographicHash md5(QCryptographicHash::Md5);
    const QString error = readEntry(*archive, entry, md5, [&](const char *data, qint64 length) {
        writeFailed = out.write(data, length) != length;
        return !writeFailed;
    });
    if (writeFailed) {
        printErr(QStringLiteral("cannot write to stdout: %1").arg(out.errorString()));
        return WriteFailed;
    }
    if (!error.isEmpty()) {
        printErr(QStringLiteral("%1: %2").arg(path, error));
        return BadContent;
    }
    return Ok;
}

bool isSafeName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0));
}

// Flushes the file system holding path to the disk.
bool syncFileSystem(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
#ifdef Q_OS_LINUX
    const bool ok = ::syncfs(fd) == 0;
#else
    ::sync();
    const bool ok = true;
#endif
    ::close(fd);
    return ok;
}

int extract(const QString &archivePath, const QString &target, bool sync)
{
    std::unique_ptr<kelcab::Archive> archive = openArchive(archivePath);
    if (!archive)
        return BadArchive;
    int damaged = 0;
    bool writeFailed = false;

    // Names come from the archive: each must be a single plain component, or
    // a hostile archive could write outside the target folder.
    std::function<void(const kelcab::Entry &, const QString &, const QString &)> walk =
        [&](const kelcab::Entry &entry, const QString &fsPath, const QString &archivePathOfEntry) {
            if (writeFailed)
                return;
            if (!isSafeName(entry.name())) {
                printErr(QStringLiteral("%1: unsafe name, skipped").arg(archivePathOfEntry));
                ++damaged;
                return;
            }
            if (entry.isDir()) {
                if (!QDir().mkpath(fsPath)) {
                    printErr(QStringLiteral("cannot create folder %1").arg(fsPath));
                    writeFailed = true;
                    return;
                }
                const QVector<kelcab::Entry> children = entry.children();
                for (const kelcab::Entry &child : children) {
                    walk(child, fsPath + QLatin1Char('/') + child.name(),
                         archivePathOfEntry + QLatin1Char('/') + child.name());
                }
                return;
            }
            // Each file gets its name only once complete and checked; extract
            // --sync syncs once at the end instead of per file.
            kelcab::StagedFile out(fsPath);
            if (!out.open()) {
                printErr(QStringLiteral("cannot create %1: %2").arg(fsPath, out.errorString()));
                writeFailed = true;
                return;
            }
            QCryptographicHash md5(QCryptographicHash::Md5);
            bool outFailed = false;
            QString problem = readEntry(*archive, entry, md5, [&](const char *data, qint64 length) {
                outFailed = out.write(data, length) != length;
                return !outFailed;
            });
            if (outFailed) {
                printErr(QStringLiteral("cannot write %1: %2").arg(fsPath, out.errorString()));
                writeFailed = true;
                return;
            }
            if (problem.isEmpty())
                problem = checksumProblem(entry, md5.result());
            if (!problem.isEmpty()) {
                out.discard();
                printErr(QStringLiteral("%1: %2, not extracted").arg(archivePathOfEntry, problem));
                ++damaged;
                return;
            }
            if (!out.commit()) {
                printErr(QStringLiteral("cannot write %1: %2").arg(fsPath, out.errorString()));
                writeFailed = true;
            }
        };

    const kelcab::Entry root = archive->root();
    const QString top = QDir(target).absoluteFilePath(root.name());
    walk(root, top, root.name());
    if (sync && QFileInfo(top).isDir() && !syncFileSystem(top)) {
        printErr(QStringLiteral("cannot sync %1: %2").arg(top, QString::fromLocal8Bit(strerror(errno))));
        writeFailed = true;
    }
    if (writeFailed)
        return WriteFailed;
    return damaged ? BadContent : Ok;
}

int verify(const QString &archivePath)
{
    std::unique_ptr<kelcab::Archive> archive = openArchive(archivePath);
    if (!archive)
        return BadArchive;
    int files = 0;
    int bad = 0;
    const kelcab::Entry root = archive->root();
    forEachFile(root, root.name(), [&](const kelcab::Entry &entry, const QString &path) {
        ++files;
        QCryptographicHash md5(QCryptographicHash::Md5);
        QString problem = readEntry(*archive, entry, md5, [](const char *, qint64) { return true; });
        if (problem.isEmpty())
            problem = checksumProblem(entry, md5.result());
        if (!problem.isEmpty()) {
            ++bad;
            printErr(QStringLiteral("%1: %2").arg(path, problem));
        }
    });
    if (bad) {
        printErr(QStringLiteral("%1 of %2 files damaged").arg(bad).arg(files));
        return BadContent;
    }
    printOut(QStringLiteral("%1 files verified").arg(files));
    return Ok;
}

} // namespace

int run(const QStringList &arguments)
{
    const QString command = arguments.value(0);
    if (command == QLatin1String("help") || command == QLatin1String("--help") || command == QLatin1String("-h")) {
        fputs(kUsage, stdout);
        return Ok;
    }
    const QStringList rest = arguments.mid(1);
    const struct { const char *name; int arguments; } commands[] = {
        {"pack", 2}, {"list", 1}, {"cat", 2}, {"extract", 2}, {"verify", 1},
    };
    if (command == QLatin1String("pack") && rest.value(0) == QLatin1String("--check")) {
        if (rest.size() != 2) {
            printErr(QStringLiteral("pack --check takes a folder; see kelcab --help"));
            return Usage;
        }
        return check(rest.at(1));
    }
    if (command == QLatin1String("extract") && rest.value(0) == QLatin1String("--sync")) {
        if (rest.size() != 3) {
            printErr(QStringLiteral("extract --sync takes an archive and a folder; see kelcab --help"));
            return Usage;
        }
        return extract(rest.at(1), rest.at(2), true);
    }
    for (const auto &known : commands) {
        if (command != QLatin1String(known.name))
            continue;
        if (rest.size() != known.arguments) {
            printErr(QStringLiteral("%1 takes %2 argument(s); see kelcab --help").arg(command).arg(known.arguments));
            return Usage;
        }
        if (command == QLatin1String("pack"))
            return pack(rest.at(0), rest.at(1));
        if (command == QLatin1String("list"))
            return list(rest.at(0));
        if (command == QLatin1String("cat"))
            return cat(rest.at(0), rest.at(1));
        if (command == QLatin1String("extract"))
            return extract(rest.at(0), rest.at(1), false);
        return verify(rest.at(0));
    }
    if (command.isEmpty())
        fputs(kUsage, stderr);
    else
        printErr(QStringLiteral("unknown command '%1'; see kelcab --help").arg(command));
    return Usage;
}

} // namespace kelcabtool
