#include "app/sessionid.h"

#include <QFile>

namespace {
// What the kernel reports for a process outside any audit session.
constexpr qulonglong UnsetSession = 4294967295ULL;
}

QString logonSessionIdFromFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    bool ok = false;
    const qulonglong id = file.read(32).trimmed().toULongLong(&ok, 10);
    if (!ok || id == UnsetSession)
        return QString();
    return QString::number(id, 16);
}

QString logonSessionId()
{
    return logonSessionIdFromFile(QStringLiteral("/proc/self/sessionid"));
}
