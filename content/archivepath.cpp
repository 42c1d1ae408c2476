#include "content/archivepath.h"

#include <QRegularExpression>
#include <QStringList>
#include <QVector>

namespace ArchivePath {

QString normalise(const QString &path)
{
    if (path.contains(QChar(0)))
        return QString();
    QString slashed = path;
    slashed.replace(QLatin1Char('\\'), QLatin1Char('/'));
    QVector<QStringRef> kept;
    const QVector<QStringRef> parts = slashed.splitRef(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QStringRef &part : parts) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (kept.isEmpty())
                return QString();
            kept.removeLast();
            continue;
        }
        kept.append(part);
    }
    QString out(QLatin1String("")); // empty but not null: the root itself
    for (int i = 0; i < kept.size(); ++i) {
        if (i)
            out += QLatin1Char('/');
        out += kept.at(i);
    }
    return out;
}

QString fromUrlPath(const QString &path)
{
    // Only a drive letter goes; a ":" elsewhere is part of a name.
    static const QRegularExpression drive(QStringLiteral("^/?[A-Za-z]:(?=[/\\\\]|$)"));
    QString stripped = path;
    stripped.remove(drive);
    return normalise(stripped);
}

} // namespace ArchivePath
