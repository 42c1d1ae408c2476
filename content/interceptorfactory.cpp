#include "content/interceptorfactory.h"

#include "app/pathsmanager.h"
#include "app/settingsmanager.h"
#include "bridge/constants.h"
#include "content/devrequestinterceptor.h"
#include "content/forwardrequestinterceptor.h"
#include "content/requestinterceptor.h"
#include "content/ziphandler.h"

#include <QFileInfo>
#include <QMetaEnum>
#include <QQuickWebEngineProfile>

namespace {
QString s_devRoot;
QString s_devCourse;

// The "kelzip" handler, owned by the interceptor: deleting the interceptor
// uninstalls it.
void installArchiveHandler(ArchiveAccessManager *archive, QWebEngineUrlRequestInterceptor *interceptor)
{
    auto *handler = new ZipHandler(archive, interceptor);
    const QByteArray scheme =
        QByteArray(QMetaEnum::fromType<RequestInterceptor::SchemeTypes>().valueToKey(
                       RequestInterceptor::KelZip))
            .toLower();
    QQuickWebEngineProfile::defaultProfile()->installUrlSchemeHandler(scheme, handler);
}
} // namespace

void setDevContent(const QString &root, const QString &courseDir)
{
    s_devRoot = root;
    s_devCourse = courseDir;
}

QString devCourseDir()
{
    return s_devCourse;
}

QWebEngineUrlRequestInterceptor *createRequestInterceptor(ArchiveAccessManager *archive)
{
    if (!s_devRoot.isEmpty()) {
        // archive is the course folder here (createArchiveManager).
        auto *interceptor = new DevRequestInterceptor(s_devRoot, s_devCourse);
        installArchiveHandler(archive, interceptor);
        return interceptor;
    }
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
    installArchiveHandler(archive, interceptor);
    return interceptor;
}
