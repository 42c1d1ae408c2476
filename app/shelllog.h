#pragma once

#include <QString>
#include <QtGlobal>

class QMessageLogContext;

// The process-wide log file. Every message that reaches the handler is
// formatted with the message pattern and written at once; messages arriving
// while no file is open are dropped. Safe to log from any thread.
//
// The file is kept below a size limit: a message that would take it past the
// limit first moves it to previousFileName() (replacing the one there) and
// starts a new file, so at most about twice the limit is ever on disk.
class ShellLog
{
public:
    static constexpr const char *Pattern = "[%{type}] %{category}: %{message}\r\n";

    static constexpr qint64 DefaultSizeLimit = 8 * 1024 * 1024;

    // Opens path for appending (unbuffered), replacing the current file.
    // On failure no file is open afterwards. sizeLimit <= 0: no limit.
    static bool open(const QString &path, qint64 sizeLimit = DefaultSizeLimit);
    static void close();
    static bool isOpen();
    static QString fileName();
    // "appLogs.txt" -> "appLogs.1.txt", in the same folder.
    static QString previousFileName(const QString &path);

    static void messageHandler(QtMsgType type, const QMessageLogContext &context,
                               const QString &message);
};
