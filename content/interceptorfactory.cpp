#include "content/interceptorfactory.h"

#include "app/pathsmanager.h"
#include "app/settingsmanager.h"
#include "bridge/constants.h"
#include "content/forwardrequestinterceptor.h"
#include "content/requestinterceptor.h"
#include "content/ziphandler.h"

#include <QFileInfo>
#include <QMetaEnum>
#include <QQuickWebEngineProfile>

QWebEngineUrlRequestInterceptor *createRequestInterceptor(ArchiveAccessManager *archive,
                                                          JSInterface *dispatcher)
{
    using namespace Constants;
    const QString choice = SettingsManager::instance()
                               ->get(name(Tag::wrapper), name(Tag::interceptor),
                                     name(Tag::RequestInterceptor))
                               .toString();
    if (choice == name(Tag::ForwardRequestInterceptor)) {
        const QString archivePath =
            PathsManager::instance()->get(PathManager::wrapperArchivePath);
        return new ForwardRequestInterceptor(QFileInfo(archivePath).absolutePath());
    }

    auto *interceptor = new RequestInterceptor(
        archive, PathsManager::instance()->get(PathManager::contentsPath));
    auto *handler = new ZipHandler(archive, dispatcher, interceptor);
    const QByteArray scheme =
        QByteArray(QMetaEnum::fromType<RequestInterceptor::SchemeTypes>().valueToKey(
                       RequestInterceptor::KelZip))
            .toLower();
    QQuickWebEngineProfile::defaultProfile()->installUrlSchemeHandler(scheme, handler);
    return interceptor;
}
