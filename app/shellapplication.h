#pragma once

#include "bridge/qmlevent.h"

#include <QApplication>
#include <QStringList>

class QWindow;

// The program's application object: opens the log file and installs the
// process-wide message handler, registers the URL protocols, and turns
// file-open requests ("--open-uri=" arguments) into application events for
// QML.
class ShellApplication : public QApplication
{
    Q_OBJECT
public:
    // argc and argv must outlive the object: QApplication keeps both.
    ShellApplication(int &argc, char **argv);
    ~ShellApplication() override;

    // Exit code of the program when the web engine's render process ended
    // abnormally (crashed, killed, out of memory): not a success.
    static constexpr int RenderProcessFailedExitCode = 70;
    static constexpr int MaxOpenUriLength = 32767;

    bool notify(QObject *receiver, QEvent *event) override;

    // Shows the window and brings it to the user's attention.
    static void bringToFront(QWindow *window);

public slots:
    // Posts a file-open event for every argument starting with "--open-uri",
    // in order; the rest after "--open-uri=" is the file or URI. An argument
    // longer than MaxOpenUriLength is dropped with a warning: no command line
    // that Windows starts a program with can be longer, so it can only come
    // from a process writing to the single-instance socket.
    void processArguments(const QStringList &arguments);
    // The web view's render process has ended; status is the web engine's
    // termination status (0 normal, 1 abnormal, 2 crashed, 3 killed). A
    // normal end quits with 0; any other is logged as critical and quits with
    // RenderProcessFailedExitCode.
    void renderProcessTerminated(int status, int exitCode);

signals:
    void applicationEvent(QMLEvent event);

private:
    void setupLogFile();
    void registerUrlProtocols();
};
