#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QObject>
#include <QString>

// The course's content archive. Paths are archive-relative, "/"-separated,
// without a leading "/". Called from the web engine's I/O thread, the main
// thread and pool threads at once: implementations are thread-safe.
class ArchiveAccessManager : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    virtual bool exists(const QString &path) = 0;
    virtual QByteArray read(const QString &path) = 0;
    // An open, read-only device on the entry; the caller owns it. Null when
    // there is no such file.
    virtual QIODevice *open(const QString &path) = 0;
    // The archive file, for messages; empty when there is none.
    virtual QString fileName() const { return QString(); }
};

// The configured manager: "kelcab" (exactly) selects the kelcab reader,
// anything else the zip one. Never returns null: an archive that cannot be
// opened yields a manager that holds nothing, and the log says why.
ArchiveAccessManager *createArchiveManager(const QString &path);
// The same with the manager kind given ("kelcab" or anything else for zip).
ArchiveAccessManager *createArchiveManager(const QString &path, const QString &kind);
