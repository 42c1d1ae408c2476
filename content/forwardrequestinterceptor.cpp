#include "content/forwardrequestinterceptor.h"

#include "content/archiveexception.h"
#include "content/chunkedcopy.h"
#include "content/ziphandler.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutexLocker>

#include <exception>

Q_LOGGING_CATEGORY(lcForwardInterceptor, "ForwardRequestInterceptor")

namespace {
constexpr int kOpenFailed = -101;
}

ForwardRequestInterceptor::ForwardRequestInterceptor(const QString &contentRoot, QObject *parent)
    : QWebEngineUrlRequestInterceptor(parent), m_root(contentRoot)
{
}

QByteArray ForwardRequestInterceptor::mediaMarker()
{
    return QByteArray::fromHex("5D21F0C6A94E7B38");
}

QUrl ForwardRequestInterceptor::fileUrl(const QString &localPath, const QUrl &request)
{
    QUrl url = QUrl::fromLocalFile(localPath);
    url.setFragment(request.fragment(QUrl::FullyEncoded), QUrl::StrictMode);
    url.setQuery(request.query(QUrl::FullyEncoded), QUrl::StrictMode);
    return url;
}

QSharedPointer<QTemporaryFile> ForwardRequestInterceptor::makeMediaCopy(const QString &path)
{
    QFile source(path);
    if (!source.open(QIODevice::ReadOnly))
        throw ArchiveException(kOpenFailed, QStringLiteral("cannot read media file ") + path);
    const QByteArray marker = mediaMarker();
    if (source.read(marker.size()) != marker)
        source.seek(0);

    QSharedPointer<QTemporaryFile> copy(new QTemporaryFile(
        QStringLiteral("%1/XXXXXX-%2").arg(QDir::tempPath(), QFileInfo(path).fileName())));
    copy->setAutoRemove(true);
    if (!copy->open())
        throw ArchiveException(-100, QStringLiteral("cannot create a temporary copy of ") + path);
    ChunkedCopy::copy(&source, copy.data());
    if (!copy->flush())
        throw ArchiveException(-100, QStringLiteral("QFS cannot write into target device"));
    return copy;
}

QSharedPointer<QTemporaryFile> ForwardRequestInterceptor::mediaCopy(const QString &path)
{
    QMutexLocker lock(&m_mutex);
    if (const auto cached = m_cache.value(path))
        return cached;
    // Only a whole copy is kept: a failed one throws before it is cached.
    const QSharedPointer<QTemporaryFile> copy = makeMediaCopy(path);
    m_cache.insert(path, copy);
    m_cache.insert(copy->fileName(), copy);
    return copy;
}

ForwardRequestInterceptor::Decision ForwardRequestInterceptor::decide(const QUrl &url)
{
    // Only file requests concern plain files; anything else (data:, http:,
    // devtools) has no local path and must not be sent under the root.
    if (!url.isLocalFile())
        return {};
    QString local = url.toLocalFile();
    const bool underRoot = !m_root.isEmpty()
        && (local == m_root || local.startsWith(m_root.endsWith(QLatin1Char('/'))
                                                    ? m_root
                                                    : m_root + QLatin1Char('/')));
    if (underRoot) {
        if (!ZipHandler::isMedia(ZipHandler::mimeTypeFor(local, m_mimeDatabase)))
            return {};
        try {
            const QSharedPointer<QTemporaryFile> copy = mediaCopy(local);
            // The copy itself is cached under its own name; asking for it
            // must not redirect it onto itself.
            if (copy->fileName() == local)
                return {};
            return {Outcome::Redirect, fileUrl(copy->fileName(), url)};
        } catch (const ArchiveException &e) {
            if (e.code == kOpenFailed) {
                // The file loader reports the same missing or unreadable file.
                qCWarning(lcForwardInterceptor).noquote() << e.message;
                return {};
            }
            qCWarning(lcForwardInterceptor).noquote()
                << "blocked" << local << "-" << e.message << "code" << e.code;
        } catch (const std::exception &e) {
            qCWarning(lcForwardInterceptor).noquote() << "blocked" << local << "-" << e.what();
        }
        // Serving the marked file instead would hand the player garbage.
        return {Outcome::Block, QUrl()};
    }
    if (QFileInfo::exists(local))
        return {};
    const int colon = local.indexOf(QLatin1String(":/"));
    if (colon > 0)
        local.remove(0, colon + 1);
    return {Outcome::Redirect, fileUrl(m_root + local, url)};
}

void ForwardRequestInterceptor::interceptRequest(QWebEngineUrlRequestInfo &info)
{
    try {
        const Decision d = decide(info.requestUrl());
        if (d.outcome == Outcome::Redirect)
            info.redirect(d.target);
        else if (d.outcome == Outcome::Block)
            info.block(true);
    } catch (const std::exception &e) {
        qCWarning(lcForwardInterceptor).noquote()
            << "request" << info.requestUrl().toDisplayString() << "left alone:" << e.what();
    } catch (...) {
        qCWarning(lcForwardInterceptor).noquote()
            << "request" << info.requestUrl().toDisplayString() << "left alone";
    }
}
