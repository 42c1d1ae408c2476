#pragma once

// Shared by the zip and archive tests: zips made entry by entry, external
// tools, folder snapshots and the table of hostile entry names.

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

namespace ZipTest {

struct Entry
{
    Entry(const QString &name = {}, const QByteArray &data = {}, const QString &link = {})
        : name(name), data(data), linkTarget(link)
    {
    }
    QString name;
    QByteArray data;
    QString linkTarget; // non-empty: a symbolic-link entry pointing there
};
using Entries = QList<Entry>;

inline bool makeZip(const QString &path, const Entries &entries)
{
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    for (const Entry &e : entries) {
        QuaZipNewInfo info(e.name);
        if (!e.linkTarget.isEmpty())
            info.externalAttr = quint32(0120777) << 16;
        QuaZipFile file(&zip);
        const QByteArray data = e.linkTarget.isEmpty() ? e.data : e.linkTarget.toUtf8();
        if (!file.open(QIODevice::WriteOnly, info) || file.write(data) != data.size())
            return false;
        file.close();
    }
    zip.close();
    return zip.getZipError() == 0;
}

// The program's exit code, or -1 when it is missing or does not finish.
inline int run(const QString &program, const QStringList &args, const QString &dir = {})
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(program, args);
    if (!p.waitForFinished(60000))
        return -1;
    p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// Debian's own interpreter: a user's PATH may put another one first.
inline QString python()
{
    return QFile::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3")
                                                             : QStringLiteral("python3");
}

// Relative path -> content digest (links by their target) of everything
// under dir.
inline QMap<QString, QByteArray> snapshot(const QString &dir)
{
    QMap<QString, QByteArray> out;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        QByteArray value = info.isSymLink() ? "link:" + info.symLinkTarget().toUtf8()
                                            : info.isDir() ? QByteArray("dir") : QByteArray();
        if (value.isEmpty()) {
            QFile f(info.filePath());
            f.open(QIODevice::ReadOnly);
            value = QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1).toHex();
        }
        out.insert(QDir(dir).relativeFilePath(info.filePath()), value);
    }
    return out;
}

// A small tree with a folder, a nested and an empty file, an empty folder
// and a file large enough to be deflated in several blocks.
inline void makeTree(const QString &root)
{
    QDir(root).mkpath(QStringLiteral("folder/deeper"));
    QDir(root).mkpath(QStringLiteral("emptydir"));
    auto write = [&root](const QString &name, const QByteArray &data) {
        QFile f(root + QLatin1Char('/') + name);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(data);
    };
    write(QStringLiteral("top.txt"), "top level\n");
    write(QStringLiteral("folder/deeper/nested.txt"), QByteArray("nested ").repeated(1000));
    write(QStringLiteral("folder/empty.txt"), {});
    QByteArray big;
    for (int i = 0; i < 300000; ++i)
        big.append(char((quint32(i) * 2654435761u) >> 24));
    write(QStringLiteral("big.bin"), big);
}

// Zips the tree at root with another producer: "zip" (Info-ZIP, with an
// archive comment) or "python" (zipfile, with an entry comment on top.txt).
inline bool produce(const QString &producer, const QString &root, const QString &zipPath)
{
    if (producer == QLatin1String("zip")) {
        QProcess p;
        p.setWorkingDirectory(root);
        p.start(QStringLiteral("sh"), {QStringLiteral("-c"),
                QStringLiteral("zip -q -r \"$0\" . && echo 'made by Info-ZIP' | zip -q -z \"$0\""),
                zipPath});
        return p.waitForFinished(60000) && p.exitCode() == 0;
    }
    const QString script = QStringLiteral(
        "import os, sys, zipfile\n"
        "root, out = sys.argv[1], sys.argv[2]\n"
        "with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:\n"
        "    for d, dirs, files in sorted(os.walk(root)):\n"
        "        rel = os.path.relpath(d, root)\n"
        "        if rel != '.': z.write(d, rel + '/')\n"
        "        for f in sorted(files):\n"
        "            name = os.path.normpath(os.path.join(rel, f))\n"
        "            z.write(os.path.join(d, f), name)\n"
        "            if name == 'top.txt': z.getinfo(name).comment = b'entry note'\n");
    return run(python(), {QStringLiteral("-c"), script, root, zipPath}) == 0;
}

// Names that would leave the folder they are extracted into. Placeholders:
// "%1" the folder's own name (for the sibling that shares its prefix), "%2"
// the absolute path of its parent.
inline void traversalRows()
{
    QTest::addColumn<Entries>("rowEntries");
    const QByteArray x("escaped");
    QTest::newRow("dot-dot") << Entries{{"ok.txt", "fine"}, {"../evil.txt", x}};
    QTest::newRow("climbs after a folder") << Entries{{"a/../../evil.txt", x}};
    QTest::newRow("absolute") << Entries{{"%2/evil.txt", x}};
    QTest::newRow("backslash dot-dot") << Entries{{"..\\evil.txt", x}};
    QTest::newRow("drive letter") << Entries{{"C:\\evil.txt", x}};
    QTest::newRow("sibling with the same prefix") << Entries{{"../%1-evil/evil.txt", x}};
    QTest::newRow("link, then a file through it")
        << Entries{{"link", {}, "../"}, {"link/evil.txt", x}};
}

// The row's names for a target folder.
inline Entries placed(Entries entries, const QString &target)
{
    const QFileInfo info(target);
    for (Entry &e : entries)
        e.name = e.name.replace(QLatin1String("%1"), info.fileName())
                     .replace(QLatin1String("%2"), info.absolutePath());
    return entries;
}

} // namespace ZipTest

Q_DECLARE_METATYPE(ZipTest::Entries)
