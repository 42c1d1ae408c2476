#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Registration of custom URL protocols with the desktop: one per-user
// desktop entry per protocol (x-scheme-handler/NAME), starting this program
// with "--open-uri=<url>". The delivered build has no protocols.
namespace UrlProtocols {

// The build-time list, blank-separated.
QString configured();

// Names of a blank-separated list, empty ones skipped.
QStringList names(const QString &list);

// A scheme name as URLs allow it: a letter, then letters, digits, "+", "-"
// or "."; anything else would not be a protocol and could escape the file
// name it is written to.
bool isValidName(const QString &name);

QString desktopFileName(const QString &name);
QByteArray desktopEntry(const QString &name, const QString &programPath);

// Writes (or refreshes) the entries of the listed protocols in
// applicationsDir. Nothing is written, not even the folder, for an empty
// list. Returns the files whose content changed.
QStringList registerProtocols(const QString &list, const QString &applicationsDir,
                              const QString &programPath);

// registerProtocols for the build-time list, this program and the user's
// applications folder; also makes each entry the default handler when
// xdg-mime is installed.
void registerConfigured();

} // namespace UrlProtocols
