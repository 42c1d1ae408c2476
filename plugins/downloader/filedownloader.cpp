#include "filedownloader.h"

#include "bridge/constants.h"

#include <kelcab/stagedfile.h>

#include <QDir>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

Q_LOGGING_CATEGORY(lcDownloader, "FileDownloader")

namespace {

// A reply whose body is the download: a 2xx answer, or a scheme without a status.
bool isSuccess(QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return !status.isValid() || (status.toInt() >= 200 && status.toInt() < 300);
}

} // namespace

FileDownloader::FileDownloader(QObject *parent)
    : IFileDownloader(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &FileDownloader::onTimeout);
}

FileDownloader::~FileDownloader()
{
    releaseReply();
    discardFile();
}

// Drops the staged file, which is removed unless committed.
void FileDownloader::discardFile()
{
    delete m_file;
    m_file = nullptr;
}

// The reply will not report to this object again.
void FileDownloader::releaseReply()
{
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    if (!reply)
        return;
    disconnect(reply, nullptr, this, nullptr);
    if (!reply->isFinished())
        reply->abort();
    reply->deleteLater();
}

void FileDownloader::setTarget(const QString &folder, const QString &name)
{
    const QDir dir(folder);
    m_folder = dir.absolutePath();
    m_target = dir.absoluteFilePath(name);
}

// Beside the target, so that putting it in place is a rename on one volume.
bool FileDownloader::stage()
{
    if (!QDir().mkpath(m_folder)) {
        failToStore(QStringLiteral("cannot create the folder %1").arg(m_folder));
        return false;
    }
    m_file = new kelcab::StagedFile(m_target);
    if (!m_file->open()) {
        failToStore(m_file->errorString());
        return false;
    }
    return true;
}

// Ends the download with nothing stored.
void FileDownloader::failToStore(const QString &why)
{
    qCWarning(lcDownloader).noquote() << "download to" << m_target << "not stored:" << why;
    m_timer.stop();
    m_started = false;
    releaseReply();
    discardFile();
    emit onError(QNetworkReply::NetworkError(Constants::Code::DownloadNotStored));
}

void FileDownloader::download(QUrl url)
{
    m_aborted = false;
    m_timedOut = false;
    // A request that has not received data yet is replaced: it must not
    // write into the new file later.
    releaseReply();
    discardFile();
    m_started = false;
    m_written = 0;

    QNetworkRequest request(url);
    // Most download links redirect; a browser follows them, but never from
    // https to http, and not forever (a loop ends as TooManyRedirectsError).
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(MaxRedirects);
    // Made on the first download: a process's first access manager loads
    // the network bearer plugins, which start-up does not need.
    if (!m_accessManager)
        m_accessManager = new QNetworkAccessManager(this);
    m_reply = m_accessManager->get(request);
    // Flow control: when the disk is slower than the network, the network
    // waits instead of the data piling up in memory.
    m_reply->setReadBufferSize(ReadBufferBytes);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &FileDownloader::onNetworkError);
    connect(m_reply, &QNetworkReply::readyRead, this, &FileDownloader::onReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &FileDownloader::onFinished);
    connect(m_reply, &QNetworkReply::sslErrors, this, &FileDownloader::sslErrors);
    m_timer.start(InactivityTimeoutMs);
}

bool FileDownloader::isBusy()
{
    return m_started;
}

void FileDownloader::abort()
{
    m_timer.stop();
    m_aborted = true;
    if (m_reply) {
        m_reply->abort(); // reports through onNetworkError and onFinished
        return;
    }
    discardFile();
    emit onAbort();
}

void FileDownloader::onReadyRead()
{
    if (!m_reply)
        return;
    m_timer.start(InactivityTimeoutMs);
    const qlonglong total = m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    if (!m_started) {
        emit onStart(total);
        m_started = true;
    }
    const QByteArray data = m_reply->readAll();
    // An error page's body is counted as it arrives but never stored.
    if (isSuccess(m_reply)) {
        if (!m_file && !stage())
            return;
        // A full disk must not end as a complete-looking file.
        if (m_file->write(data) != data.size()) {
            failToStore(m_file->errorString());
            return;
        }
    }
    m_written += data.size();
    emit onProgress(total, m_written);
}

void FileDownloader::onFinished()
{
    m_timer.stop();
    m_started = false;
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    if (!reply)
        return;
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError)
        return; // onNetworkError has reported it
    if (!isSuccess(reply)) {
        // A final answer outside 2xx that is no network error: a redirect
        // without a usable target, 304, 1xx. Its body is not the file.
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        qCWarning(lcDownloader).noquote() << "download to" << m_target << "ended with HTTP status" << status;
        discardFile();
        emit onError(QNetworkReply::NetworkError(status));
        return;
    }
    if (!m_file && !stage()) // an empty body
        return;
    if (!m_file->commit()) {
        failToStore(m_file->errorString());
        return;
    }
    discardFile();
    emit onFinish(m_target);
}

void FileDownloader::onNetworkError(QNetworkReply::NetworkError code)
{
    m_timer.stop();
    m_started = false;
    discardFile();
    // A time-out is reported by onTimeout alone, not as the page's abort.
    if (m_timedOut && code != QNetworkReply::TimeoutError)
        return;
    if (code == QNetworkReply::OperationCanceledError)
        emit onAbort();
    emit onError(code);
}

void FileDownloader::onTimeout()
{
    m_timedOut = true;
    if (m_reply) {
        QNetworkReply *reply = m_reply;
        reply->abort(); // onFinished releases it
        if (m_reply == reply)
            releaseReply();
    }
    m_timer.stop();
    m_started = false;
    discardFile();
    emit onError(QNetworkReply::TimeoutError);
}

void FileDownloader::sslErrors(QList<QSslError> sslErrors)
{
    for (const QSslError &e : sslErrors)
        qCDebug(lcDownloader) << "SSL error:" << e.errorString();
}
