// libFuzzer target: arbitrary bytes as an archive file; load it, look every
// entry up by its path and read every file to the end.

#include <kelcab/archive.h>
#include <kelcab/entry.h>

#include <QBuffer>
#include <QDataStream>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>

namespace {

bool plainName(const QString &name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

bool sameEntry(const kelcab::Entry &a, const kelcab::Entry &b)
{
    return a.name() == b.name() && a.options() == b.options() && a.offset() == b.offset() && a.size() == b.size()
        && a.children().size() == b.children().size() && a.hash() == b.hash();
}

// reachable: the path so far leads to `entry` itself, so looking a child up
// must give what a plain scan gives: the first sibling equal ignoring case.
void readAll(kelcab::Archive &archive, const kelcab::Entry &entry, const QString &path, bool reachable, int depth)
{
    if (depth > 300)
        abort();   // the reader promised a bounded tree
    const QVector<kelcab::Entry> children = entry.children();
    for (int i = 0; i < children.size(); ++i) {
        const kelcab::Entry &child = children.at(i);
        const QString childPath = path + QLatin1Char('/') + child.name();
        bool childReachable = false;
        if (reachable && plainName(child.name())) {
            int first = 0;
            while (QString::compare(children.at(first).name(), child.name(), Qt::CaseInsensitive) != 0)
                ++first;
            if (!sameEntry(archive.find(childPath), children.at(first)))
                abort();
            childReachable = first == i;
        }
        archive.find(childPath.toUpper());
        if (child.isDir()) {
            readAll(archive, child, childPath, childReachable, depth + 1);
            continue;
        }
        std::unique_ptr<QIODevice> device(archive.makeReadOnlyDevice(child));
        if (!device)
            continue;
        char buffer[65536];
        qint64 total = 0;
        for (;;) {
            const qint64 n = device->read(buffer, sizeof buffer);
            if (n <= 0)
                break;
            total += n;
            if (total > (qint64(1) << 32))
                abort();   // more than a stored range can expand to
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("input.kcab"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            abort();
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }

    kelcab::Archive archive;
    try {
        if (archive.load(path)) {
            const kelcab::Entry root = archive.root();
            archive.find(QString());
            archive.find(QStringLiteral("//"));
            archive.find(root.name() + QStringLiteral("\\x\\y"));
            readAll(archive, root, root.name(), plainName(root.name()), 0);
        }
    } catch (const std::runtime_error &) {
        // A damaged archive is reported, not crashed on.
    }

    // The public stream operator over the same bytes, tree at offset 34.
    QBuffer buffer;
    buffer.setData(reinterpret_cast<const char *>(data), int(size));
    buffer.open(QIODevice::ReadOnly);
    if (size > 34)
        buffer.seek(34);
    QDataStream in(&buffer);
    kelcab::Entry entry;
    in >> entry;
    return 0;
}
