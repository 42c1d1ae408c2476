#include "content/devrequestinterceptor.h"

#include "bridge/constants.h"
#include "content/archivepath.h"
#include "content/ziphandler.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QWebEngineUrlRequestInfo>

Q_LOGGING_CATEGORY(lcDevInterceptor, "DevRequestInterceptor")

namespace {
const QString kWebapp = QStringLiteral("/webapp");

bool isUnder(const QString &path, const QString &folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}
} // namespace

DevRequestInterceptor::DevRequestInterceptor(const QString &root, const QString &courseDir,
                                             QObject *parent)
    : QWebEngineUrlRequestInterceptor(parent),
      m_root(root),
      m_courseDir(courseDir),
      m_folder(courseDir),
      m_forward(new ForwardRequestInterceptor(root))
{
}

// The forward interceptor caches media copies by path for good. A copied
// source that changed since drops the whole cache (a new interceptor): the
// author saved a new recording and expects to hear it.
QSharedPointer<ForwardRequestInterceptor> DevRequestInterceptor::forwardFor(const QString &local)
{
    QMutexLocker lock(&m_mutex);
    const auto known = m_copied.constFind(local);
    if (known != m_copied.constEnd()) {
        const QFileInfo info(local);
        if (*known != qMakePair(info.lastModified(), info.size())) {
            m_forward.reset(new ForwardRequestInterceptor(m_root));
            m_copied.clear();
        }
    }
    return m_forward;
}

void DevRequestInterceptor::copied(const QString &local)
{
    const QFileInfo info(local);
    QMutexLocker lock(&m_mutex);
    m_copied.insert(local, qMakePair(info.lastModified(), info.size()));
}

ForwardRequestInterceptor::Decision DevRequestInterceptor::decide(const QUrl &url)
{
    using Outcome = ForwardRequestInterceptor::Outcome;
    if (url.scheme() == Constants::name(Constants::UrlSchema::kelzip))
        return decideArchive(url);
    const ForwardRequestInterceptor::Decision d = decideFile(url);
    const QUrl served = d.outcome == Outcome::Redirect ? d.target : url;
    if (d.outcome == Outcome::Block || !served.isLocalFile())
        return d;
    // A marker-free media copy lies outside the folder and stays a file.
    const QString local = served.toLocalFile();
    if (!local.startsWith(m_courseDir + QLatin1Char('/')) || !QFileInfo(local).isFile())
        return d;
    QUrl target;
    target.setScheme(Constants::name(Constants::UrlSchema::kelzip));
    target.setPath(kWebapp + local.mid(m_courseDir.size()), QUrl::DecodedMode);
    // As the packed course's interceptor does: the query marker always there.
    const QString query = served.query(QUrl::FullyEncoded);
    target.setQuery(query.isNull() ? QStringLiteral("") : query, QUrl::StrictMode);
    return {Outcome::Redirect, target};
}

ForwardRequestInterceptor::Decision DevRequestInterceptor::decideArchive(const QUrl &url)
{
    const QString local =
        m_folder.localPath(ArchivePath::fromUrlPath(url.path(QUrl::FullyDecoded)));
    if (local.isEmpty() || !QFileInfo(local).isFile()) {
        // Not the folder's: the file: URL, as a packed course falls back.
        QUrl fallback(url);
        fallback.setScheme(Constants::name(Constants::UrlSchema::file));
        return {ForwardRequestInterceptor::Outcome::Redirect, fallback};
    }
    QUrl file = QUrl::fromLocalFile(local);
    file.setQuery(url.query(QUrl::FullyEncoded), QUrl::StrictMode);
    // Media goes to its copy (or is blocked); the rest is the handler's.
    const ForwardRequestInterceptor::Decision d = decideFile(file);
    return d.outcome == ForwardRequestInterceptor::Outcome::Redirect
            && d.target.toLocalFile().startsWith(m_courseDir + QLatin1Char('/'))
        ? ForwardRequestInterceptor::Decision()
        : d;
}

ForwardRequestInterceptor::Decision DevRequestInterceptor::decideFile(const QUrl &url)
{
    if (!url.isLocalFile())
        return {};
    QString local = url.toLocalFile();
    const bool mapped = m_courseDir != m_root + kWebapp;
    if (mapped && !isUnder(local, m_root) && !QFileInfo::exists(local)) {
        // The same drive-letter rule as forward mode, then "/webapp/..."
        // onto the course folder.
        const int colon = local.indexOf(QLatin1String(":/"));
        if (colon > 0)
            local.remove(0, colon + 1);
        if (isUnder(local, kWebapp)) {
            QUrl target = QUrl::fromLocalFile(m_courseDir + local.mid(kWebapp.size()));
            target.setFragment(url.fragment(QUrl::FullyEncoded), QUrl::StrictMode);
            target.setQuery(url.query(QUrl::FullyEncoded), QUrl::StrictMode);
            // Media under the course folder still gets its marker-free copy.
            const ForwardRequestInterceptor::Decision media = decideFile(target);
            if (media.outcome != ForwardRequestInterceptor::Outcome::Pass)
                return media;
            return {ForwardRequestInterceptor::Outcome::Redirect, target};
        }
        local = url.toLocalFile();
    }
    const ForwardRequestInterceptor::Decision d = forwardFor(local)->decide(url);
    if (d.outcome == ForwardRequestInterceptor::Outcome::Redirect && isUnder(local, m_root))
        copied(local);
    return d;
}

void DevRequestInterceptor::interceptRequest(QWebEngineUrlRequestInfo &info)
{
    try {
        const ForwardRequestInterceptor::Decision d = decide(info.requestUrl());
        if (d.outcome == ForwardRequestInterceptor::Outcome::Redirect)
            info.redirect(d.target);
        else if (d.outcome == ForwardRequestInterceptor::Outcome::Block)
            info.block(true);
        else
            ZipHandler::markWorker(info);
    } catch (const std::exception &e) {
        qCWarning(lcDevInterceptor).noquote()
            << "request" << info.requestUrl().toDisplayString() << "left alone:" << e.what();
    }
}
