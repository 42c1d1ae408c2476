#include "bridge/mediaplugins.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QPluginLoader>

Q_LOGGING_CATEGORY(lcMediaModule, "MediaModule")

IMediaFactory *MediaModule::factory(QString *error)
{
    static IMediaFactory *loaded = nullptr;
    static QString failure;
    if (!loaded && failure.isEmpty()) {
        const QObjectList linkedIn = QPluginLoader::staticInstances();
        for (QObject *instance : linkedIn) {
            if ((loaded = qobject_cast<IMediaFactory *>(instance)))
                break;
        }
    }
    if (!loaded && failure.isEmpty()) {
        // Only the program's own folder: a module of another build would not
        // match the program it is loaded into.
        const QString path =
            QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(fileName);
        QPluginLoader loader(path);
        // Every symbol now: one that the program lacks fails the load here,
        // with a message, rather than the first call that needs it.
        loader.setLoadHints(QLibrary::ResolveAllSymbolsHint);
        loaded = qobject_cast<IMediaFactory *>(loader.instance());
        if (!loaded) {
            // Qt's message for a missing file does not name it.
            failure = QFileInfo::exists(path) ? loader.errorString()
                                              : QStringLiteral("%1 is missing").arg(path);
            qCWarning(lcMediaModule).noquote() << "audio and camera are not available:" << failure;
        }
    }
    if (!loaded && error)
        *error = failure;
    return loaded;
}
