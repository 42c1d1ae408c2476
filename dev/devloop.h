#pragma once

#include "dev/devoptions.h"

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <functional>

class JSInterface;
class QQmlApplicationEngine;
class QSingleInstance;
class TreeWatcher;

// The course authors' development loop around a running shell: serves the
// author's folder, reloads the page when a file under it changes, prints the
// page's console on standard error and opens the web engine's remote
// debugging on 127.0.0.1.
class DevLoop : public QObject
{
    Q_OBJECT
public:
    explicit DevLoop(const DevOptions &options, QObject *parent = nullptr);
    ~DevLoop() override;

    // Before the main window loads (the web engine starts with it): the
    // configuration file, the content served and the debugging port. False
    // when no port could be had.
    bool prepare();
    // After: finds the web view and the bridge, starts watching.
    bool attach(QQmlApplicationEngine *engine);

    int port() const { return m_port; }

    // One console line: "[level] source:line: message", the source relative
    // to the course folder when it lies there.
    static QString consoleLine(int level, const QString &message, int line,
                               const QString &source, const QString &courseDir);
    // The port to debug on: wanted when it is free on 127.0.0.1, else any
    // free one; -1 when none.
    static int pickPort(int wanted);

private slots:
    void onConsoleMessage(int level, const QString &message, int line, const QString &source);

private:
    void reload(const QStringList &changed);

    const DevOptions m_options;
    int m_port = -1;
    TreeWatcher *m_watcher = nullptr;
    QPointer<QObject> m_console; // the dev-only QML object watching the view
    QPointer<JSInterface> m_dispatcher;
};

// main() of a dev run: the ordinary start-up with the loop around it.
// startup/stop/engine are the shell's own start-up, aboutToQuit handler and
// engine accessor.
int runDevShell(int argc, char **argv, const DevOptions &options,
                const std::function<int(QSingleInstance *)> &startup,
                const std::function<void()> &stop,
                const std::function<QQmlApplicationEngine *()> &engine);
