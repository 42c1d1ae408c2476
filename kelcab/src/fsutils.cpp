#include <kelcab/fsutils.h>

#include <QIODevice>
#include <QMimeDatabase>
#include <QStringList>

#include <stdexcept>
#include <vector>

namespace kelcab {

qint64 FSUtils::copy(QIODevice &source, QIODevice &target, qint64 chunkSize)
{
    if (chunkSize <= 0)
        return 0;
    std::vector<char> buffer(static_cast<size_t>(chunkSize));
    qint64 total = 0;
    for (;;) {
        const qint64 n = source.read(buffer.data(), chunkSize);
        if (n <= 0)
            return total;
        // A short write is retried for the rest; only a refusal is an error.
        qint64 written = 0;
        while (written < n) {
            const qint64 w = target.write(buffer.data() + written, n - written);
            if (w <= 0)
                throw std::runtime_error("Target device cannot be written");
            written += w;
        }
        total += written;
    }
}

bool FSUtils::isMediaFileName(const QString &fileName)
{
    // Function statics: built once, safely, on first use from any thread.
    static const QStringList extensions = {
        QStringLiteral(".webm"), QStringLiteral(".mp4"), QStringLiteral(".oga"),
        QStringLiteral(".ogg"), QStringLiteral(".mp3"), QStringLiteral(".jpg"),
        QStringLiteral(".jpeg"), QStringLiteral(".gif"), QStringLiteral(".png"),
    };
    static const QStringList mimePrefixes = {
        QStringLiteral("audio"), QStringLiteral("video"), QStringLiteral("image"),
    };

    // Only a MIME type name ("image/png") can name a type; skip the database
    // lookup for plain file names.
    if (fileName.contains(QLatin1Char('/'))) {
        const QMimeType type = QMimeDatabase().mimeTypeForName(fileName);
        if (type.isValid() && !type.name().isEmpty()) {
            for (const QString &prefix : mimePrefixes) {
                if (type.name().startsWith(prefix, Qt::CaseInsensitive))
                    return true;
            }
            return false;
        }
    }
    for (const QString &extension : extensions) {
        if (fileName.endsWith(extension, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

} // namespace kelcab
