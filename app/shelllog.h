#pragma once

#include <QString>
#include <QtGlobal>

class QMessageLogContext;

// The process-wide log file. Every message that reaches the handler is
// formatted with the message pattern and written at once; messages arriving
// while no file is open are dropped. Safe to log from any thread.
class ShellLog
{
public:
    static constexpr const char *Pattern = "[%{type}] %{category}: %{message}\r\n";

    // Opens path for appending (unbuffered), replacing the current file.
    // On failure no file is open afterwards.
    static bool open(const QString &path);
    static void close();
    static bool isOpen();
    static QString fileName();

    static void messageHandler(QtMsgType type, const QMessageLogContext &context,
                               const QString &message);
};
