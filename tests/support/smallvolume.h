#pragma once

// A size-limited tmpfs on a folder, in a mount namespace of the test's own:
// the machine's mounts are never touched and the mount ends with the process.
// Needs root (CI runs tests as root); elsewhere error() says why and the
// caller skips. Call enterPrivateMounts() before the test starts threads that
// write files (pool threads): threads made earlier keep the machine's view.

#include <QDir>
#include <QFile>
#include <QString>

#include <cerrno>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>

namespace ShellTest {

inline QString enterPrivateMounts()
{
    static const QString error = [] {
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return QStringLiteral("no private mount namespace: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return QString();
    }();
    return error;
}

class SmallVolume
{
public:
    SmallVolume(const QString &dir, const char *size) : m_dir(QFile::encodeName(dir))
    {
        m_error = enterPrivateMounts();
        if (m_error.isEmpty()
            && (!QDir().mkpath(dir)
                || mount("tmpfs", m_dir.constData(), "tmpfs", 0, QByteArray("size=").append(size).constData()) != 0))
            m_error = QStringLiteral("cannot mount a tmpfs: %1").arg(QString::fromLocal8Bit(strerror(errno)));
    }
    ~SmallVolume()
    {
        if (m_error.isEmpty())
            umount2(m_dir.constData(), MNT_DETACH);
    }
    QString error() const { return m_error; }

private:
    QByteArray m_dir;
    QString m_error;
};

} // namespace ShellTest
