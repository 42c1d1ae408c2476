#include "app/shelllog.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

namespace {
// Constant-initialised, so it works from any thread, even during static
// destruction; guards the pointer and every write, so lines never interleave.
QBasicMutex s_mutex;
QFile *s_file = nullptr;
qint64 s_sizeLimit = 0;
qint64 s_size = 0; // of s_file, counted: no stat per message

QFile *openForAppending(const QString &path)
{
    auto *file = new QFile(path);
    if (file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text
                   | QIODevice::Unbuffered))
        return file;
    delete file;
    return nullptr;
}

// Called with s_mutex held. Moves the full file aside and starts a new one;
// when it cannot be moved, it is emptied instead, so the limit holds.
void rotateLocked()
{
    const QString path = s_file->fileName();
    const QString previous = ShellLog::previousFileName(path);
    delete s_file;
    s_file = nullptr;
    QFile::remove(previous);
    const bool moved = QFile::rename(path, previous);
    s_file = openForAppending(path);
    if (s_file && !moved)
        s_file->resize(0);
    s_size = s_file ? s_file->size() : 0;
}
} // namespace

bool ShellLog::open(const QString &path, qint64 sizeLimit)
{
    QFile *file = openForAppending(path);
    QFile *previous = nullptr;
    {
        QMutexLocker lock(&s_mutex);
        previous = s_file;
        s_file = file;
        s_sizeLimit = sizeLimit;
        s_size = file ? file->size() : 0;
    }
    delete previous;
    return file != nullptr;
}

QString ShellLog::previousFileName(const QString &path)
{
    const QFileInfo info(path);
    const QString suffix = info.suffix();
    return info.path() + QLatin1Char('/') + info.completeBaseName() + QStringLiteral(".1")
        + (suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
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
    if (!s_file)
        return;
    if (s_sizeLimit > 0 && s_size > 0 && s_size + line.size() > s_sizeLimit)
        rotateLocked();
    if (s_file && s_file->write(line) > 0)
        s_size += line.size();
}
