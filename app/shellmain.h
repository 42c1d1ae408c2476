#pragma once

#include <functional>

class QSingleInstance;

// The whole start-up sequence of the program, parameterised by what the
// master runs: sets the application identity, builds the merged command
// line, creates the application object and the single-instance coordinator,
// runs startup (master only) and the event loop, and tears everything down in
// order. Returns the process exit code. aboutToQuit runs (directly) when the
// application is about to quit, before the single-instance server closes.
int runShell(int argc, char **argv, const std::function<int(QSingleInstance *)> &startup,
             const std::function<void()> &aboutToQuit);
