#pragma once

class QQmlApplicationEngine;
class QSingleInstance;

// Start-up of the master instance: creates the QML engine, publishes the
// shell's service objects to QML, creates the storage folders, registers the
// QML types and loads the main window. Always returns 0.
int startShell(QSingleInstance *instance);

// aboutToQuit: deletes the engine, and with it the window, the bridge and
// its plugins, while the application object still exists.
void stopShell();

// The engine created by startShell, null before and after.
QQmlApplicationEngine *shellEngine();
