#pragma once

#include <QString>
#include <QStringList>

// The command line of the course authors' development loop:
//   --dev DIR (or --dev=DIR)        serve DIR's loose files, reload on change
//   --dev-port N (or --dev-port=N)  remote debugging port, default 9222
// Without --dev nothing here applies and --dev-port is left alone.
struct DevOptions
{
    bool enabled = false;
    QString dir;       // absolute
    QString root;      // the folder standing for "/" of the page's file URLs
    QString courseDir; // what "/webapp/" names: root/webapp, or root itself
    int port = 9222;   // 0: any free port
    QString error;     // set when the arguments cannot be used

    static DevOptions parse(const QStringList &arguments);
    // The configuration file of a dev run: DIR's own, when it has one.
    QString configFile() const;
};
