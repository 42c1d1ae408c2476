#include "app/shelllog.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>

namespace {
// Constant-initialised, so it works from any thread, even during static
// destruction; guards the pointer and every write, so lines never interleave.
QBasicMutex s_mutex;
QFile *s_file = nullptr;
} // namespace

bool ShellLog::open(const QString &path)
{
    auto *file = new QFile(path);
    const bool ok = file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text
                               | QIODevice::Unbuffered);
    if (!ok) {
        delete file;
        file = nullptr;
    }
    QFile *previous = nullptr;
    {
        QMutexLocker lock(&s_mutex);
        previous = s_file;
        s_file = file;
    }
    delete previous;
    return ok;
}

void ShellLog::close()
{
    QFile *previous = nullptr;
    {
        QMutexLocker lock(&s_mutex);
        previous = s_file;
        s_file = nullptr;
    }
    delete previous;
}

bool ShellLog::isOpen()
{
    QMutexLocker lock(&s_mutex);
    return s_file != nullptr;
}

QString ShellLog::fileName()
{
    QMutexLocker lock(&s_mutex);
    return s_file ? s_file->fileName() : QString();
}

void ShellLog::messageHandler(QtMsgType type, const QMessageLogContext &context,
                              const QString &message)
{
    // Format outside the lock: only the write itself is serialised.
    const QByteArray line = qFormatLogMessage(type, context, message).toUtf8();
    QMutexLocker lock(&s_mutex);
    if (s_file)
        s_file->write(line);
}
