#pragma once

// A size-limited tmpfs on a folder, in the test's own mount namespace: the
// machine's mounts stay untouched. Needs root (as in CI); elsewhere error()
// says why and the test skips. Threads started before the first use keep the
// machine's view, so tests with pool threads call privateMounts() first.

#include <QDir>
#include <QFile>

#include <sched.h>
#include <sys/mount.h>

namespace ShellTest {

class SmallVolume
{
public:
    static QString privateMounts()
    {
        static const QString error =
            unshare(CLONE_NEWNS) || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ? qt_error_string() : QString();
        return error;
    }
    SmallVolume(const QString &dir, const QByteArray &size) : m_dir(QFile::encodeName(dir)), m_error(privateMounts())
    {
        if (m_error.isEmpty() && (!QDir().mkpath(dir) || mount("tmpfs", m_dir, "tmpfs", 0, ("size=" + size).constData())))
            m_error = qt_error_string();
    }
    ~SmallVolume()
    {
        if (m_error.isEmpty())
            umount2(m_dir, MNT_DETACH);
    }
    QString error() const { return m_error; }

private:
    QByteArray m_dir;
    QString m_error;
};

} // namespace ShellTest
