#include "content/requestinterceptor.h"

#include "bridge/constants.h"
#include "content/archiveaccessmanager.h"
#include "content/archiveexception.h"
#include "content/archivepath.h"
#include "content/ziphandler.h"

#include <QLoggingCategory>

#include <exception>

Q_LOGGING_CATEGORY(lcRequestInterceptor, "RequestInterceptor")

RequestInterceptor::RequestInterceptor(ArchiveAccessManager *archive, const QString &contentsPath,
                                       QObject *parent)
    : QWebEngineUrlRequestInterceptor(parent), m_archive(archive), m_contentsPath(contentsPath)
{
}

QString RequestInterceptor::archivePath(const QUrl &url)
{
    return ArchivePath::fromUrlPath(url.path(QUrl::FullyDecoded));
}

std::optional<QUrl> RequestInterceptor::redirectFor(const QByteArray &method, const QUrl &url,
                                                    ArchiveAccessManager *archive)
{
    using namespace Constants;
    if (!archive)
        return std::nullopt;
    if (method != name(Http::GET).toLatin1() && method != name(Http::HEAD).toLatin1())
        return std::nullopt;
    const QString scheme = url.scheme();
    const bool isFile = scheme == name(UrlSchema::file);
    const bool isKelzip = scheme == name(UrlSchema::kelzip);
    if (!isFile && !isKelzip)
        return std::nullopt;

    const QString path = archivePath(url);
    bool inArchive = false;
    try {
        inArchive = !path.isEmpty() && archive->exists(path);
    } catch (const ArchiveException &e) {
        qCWarning(lcRequestInterceptor).noquote() << "lookup of" << path << "failed:" << e.message;
    } catch (const std::exception &e) {
        qCWarning(lcRequestInterceptor).noquote() << "lookup of" << path << "failed:" << e.what();
    }

    if (inArchive) {
        if (isKelzip)
            return std::nullopt;
        // Built from parts, not parsed from text: a decoded "#" or "?" in a
        // name must stay part of the path.
        QUrl target;
        target.setScheme(name(UrlSchema::kelzip));
        target.setPath(QLatin1Char('/') + path, QUrl::DecodedMode);
        // The query marker is always there, even for an empty query.
        const QString query = url.query(QUrl::FullyEncoded);
        target.setQuery(query.isNull() ? QStringLiteral("") : query, QUrl::StrictMode);
        return target;
    }
    if (isFile)
        return std::nullopt;
    QUrl fallback(url);
    fallback.setScheme(name(UrlSchema::file));
    return fallback;
}

void RequestInterceptor::interceptRequest(QWebEngineUrlRequestInfo &info)
{
    try {
        const std::optional<QUrl> target =
            redirectFor(info.requestMethod(), info.requestUrl(), m_archive);
        if (target)
            info.redirect(*target);
        else
            ZipHandler::markWorker(info);
    } catch (const std::exception &e) {
        qCWarning(lcRequestInterceptor).noquote()
            << "request" << info.requestUrl().toDisplayString() << "left alone:" << e.what();
    } catch (...) {
        qCWarning(lcRequestInterceptor).noquote()
            << "request" << info.requestUrl().toDisplayString() << "left alone";
    }
}
