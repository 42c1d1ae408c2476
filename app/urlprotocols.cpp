#include "app/urlprotocols.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

#ifndef TAMBERLIN_URL_PROTOCOLS
#define TAMBERLIN_URL_PROTOCOLS ""
#endif

namespace {

// An Exec= argument: quoted, with the characters that stay special inside
// quotes escaped, then escaped once more as a desktop-entry string value.
QString quoteExecArgument(const QString &argument)
{
    QString quoted;
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$')
            || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    quoted = QLatin1Char('"') + quoted + QLatin1Char('"');
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    // A literal "%" in Exec= is written "%%"; "%u" below stays a field code.
    quoted.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return quoted;
}

// Newlines would end the value and start a new key.
QString singleLine(QString value)
{
    value.replace(QLatin1Char('\n'), QLatin1Char(' '));
    value.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return value;
}

} // namespace

namespace UrlProtocols {

QString configured()
{
    return QStringLiteral(TAMBERLIN_URL_PROTOCOLS);
}

QStringList names(const QString &list)
{
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    return list.split(blanks, Qt::SkipEmptyParts);
}

bool isValidName(const QString &name)
{
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*$"));
    return scheme.match(name).hasMatch();
}

QString desktopFileName(const QString &name)
{
    return QStringLiteral("tamberlin-") + name.toLower() + QStringLiteral(".desktop");
}

QByteArray desktopEntry(const QString &name, const QString &programPath)
{
    const QString scheme = name.toLower();
    QString text;
    text += QStringLiteral("[Desktop Entry]\n");
    text += QStringLiteral("Type=Application\n");
    text += QStringLiteral("Name=") + singleLine(QCoreApplication::applicationName())
        + QStringLiteral(" (") + scheme + QStringLiteral(")\n");
    text += QStringLiteral("Exec=") + singleLine(quoteExecArgument(programPath))
        + QStringLiteral(" --open-uri=%u\n");
    text += QStringLiteral("MimeType=x-scheme-handler/") + scheme + QStringLiteral(";\n");
    text += QStringLiteral("NoDisplay=true\n");
    text += QStringLiteral("Terminal=false\n");
    return text.toUtf8();
}

QStringList registerProtocols(const QString &list, const QString &applicationsDir,
                              const QString &programPath)
{
    QStringList changed;
    const QStringList all = names(list);
    if (all.isEmpty() || applicationsDir.isEmpty())
        return changed;
    QDir dir(applicationsDir);
    dir.mkpath(QStringLiteral("."));
    for (const QString &name : all) {
        if (!isValidName(name)) {
            qWarning("Ignoring URL protocol with invalid name '%s'", qUtf8Printable(name));
            continue;
        }
        const QString path = dir.absoluteFilePath(desktopFileName(name));
        const QByteArray entry = desktopEntry(name, programPath);
        QFile existing(path);
        if (existing.open(QIODevice::ReadOnly) && existing.readAll() == entry)
            continue;
        existing.close();
        // Atomic: a desktop that reads a half-written entry would lose the handler.
        QSaveFile file(path);
        if (file.open(QIODevice::WriteOnly) && file.write(entry) == entry.size() && file.commit())
            changed << path;
    }
    return changed;
}

void registerConfigured()
{
    const QString list = configured();
    if (names(list).isEmpty())
        return;
    const QString applications =
        QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
    const QStringList changed =
        registerProtocols(list, applications, QCoreApplication::applicationFilePath());
    const QString xdgMime = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (xdgMime.isEmpty())
        return;
    for (const QString &name : names(list)) {
        const QString file = desktopFileName(name);
        if (!changed.contains(QDir(applications).absoluteFilePath(file)))
            continue;
        QProcess::startDetached(xdgMime, {QStringLiteral("default"), file,
                                          QStringLiteral("x-scheme-handler/") + name.toLower()});
    }
}

} // namespace UrlProtocols
