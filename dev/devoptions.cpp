#include "dev/devoptions.h"

#include <QDir>
#include <QFileInfo>

namespace {
// The value of "--name VALUE" or "--name=VALUE" at index i; advances i past
// a separate value. Null when the argument is not that option.
bool takeOption(const QStringList &args, int &i, const QString &name, QString *value,
                bool *missing)
{
    const QString &arg = args.at(i);
    if (arg == name) {
        *missing = i + 1 >= args.size();
        if (!*missing)
            *value = args.at(++i);
        return true;
    }
    if (arg.startsWith(name + QLatin1Char('='))) {
        *value = arg.mid(name.size() + 1);
        *missing = value->isEmpty();
        return true;
    }
    return false;
}
} // namespace

DevOptions DevOptions::parse(const QStringList &arguments)
{
    DevOptions options;
    QString portText;
    bool portGiven = false;
    for (int i = 1; i < arguments.size(); ++i) {
        QString value;
        bool missing = false;
        if (takeOption(arguments, i, QStringLiteral("--dev"), &value, &missing)) {
            if (missing) {
                options.error = QStringLiteral("--dev needs a folder: --dev DIR");
                return options;
            }
            options.enabled = true;
            options.dir = value;
        } else if (takeOption(arguments, i, QStringLiteral("--dev-port"), &value, &missing)) {
            portGiven = true;
            portText = missing ? QString() : value;
        }
    }
    if (!options.enabled)
        return options;

    if (portGiven) {
        bool ok = false;
        options.port = portText.toInt(&ok);
        if (!ok || options.port < 0 || options.port > 65535) {
            options.error = QStringLiteral("--dev-port needs a port number from 0 to 65535, "
                                           "got '%1'").arg(portText);
            return options;
        }
    }
    const QFileInfo info(options.dir);
    if (!info.isDir()) {
        options.error = QStringLiteral("--dev: %1 is not a folder").arg(options.dir);
        return options;
    }
    options.dir = QDir::cleanPath(info.absoluteFilePath());
    options.root = options.dir;
    const QString webapp = options.dir + QStringLiteral("/webapp");
    options.courseDir = QFileInfo(webapp).isDir() ? webapp : options.dir;
    return options;
}

QString DevOptions::configFile() const
{
    const QString file = dir + QStringLiteral("/kelshell.config");
    return QFileInfo(file).isFile() ? file : QString();
}
