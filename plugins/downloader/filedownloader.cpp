#include "filedownloader.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QUuid>

Q_LOGGING_CATEGORY(lcDownloader, "FileDownloader")

FileDownloader::FileDownloader(QObject *parent)
    : IFileDownloader(parent), m_accessManager(new QNetworkAccessManager(this))
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

void FileDownloader::discardFile()
{
    if (!m_file)
        return;
    m_file->close();
    m_file->remove();
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

    m_filePath = QDir::temp().absoluteFilePath(QUuid::createUuid().toString());
    m_file = new QFile(m_filePath);
    if (!m_file->open(QIODevice::ReadWrite | QIODevice::Truncate)) {
        qCWarning(lcDownloader) << "cannot create" << m_filePath << m_file->errorString();
        m_timer.stop();
        delete m_file;
        m_file = nullptr;
        emit onError(QNetworkReply::UnknownContentError);
        return;
    }
    m_reply = m_accessManager->get(QNetworkRequest(url));
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
    if (!m_file)
        return;
    const QByteArray data = m_reply->readAll();
    if (m_file->write(data) != data.size()) {
        // A full disk must not end as a complete-looking file.
        qCWarning(lcDownloader) << "cannot write" << m_filePath << m_file->errorString();
        m_timer.stop();
        m_started = false;
        releaseReply();
        discardFile();
        emit onError(QNetworkReply::UnknownContentError);
        return;
    }
    m_written += data.size();
    emit onProgress(total, m_written);
}

void FileDownloader::onFinished()
{
    m_timer.stop();
    m_started = false;
    if (m_file) {
        const bool stored = m_file->flush();
        m_file->close();
        if (stored) {
            delete m_file;
            m_file = nullptr;
            emit onFinish(m_filePath);
        } else {
            qCWarning(lcDownloader) << "cannot write" << m_filePath << m_file->errorString();
            discardFile();
            emit onError(QNetworkReply::UnknownContentError);
        }
    }
    if (m_reply) {
        m_reply->deleteLater();
        m_reply = nullptr;
    }
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
