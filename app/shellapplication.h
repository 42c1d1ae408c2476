#pragma once

#include "app/qmlevent.h"

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

    bool notify(QObject *receiver, QEvent *event) override;

    // Shows the window and brings it to the user's attention.
    static void bringToFront(QWindow *window);

public slots:
    // Posts a file-open event for every argument starting with "--open-uri",
    // in order; the rest after "--open-uri=" is the file or URI.
    void processArguments(const QStringList &arguments);

signals:
    void applicationEvent(QMLEvent event);

private:
    void setupLogFile();
    void registerUrlProtocols();
};
