#pragma once

#include "ifiledownloader.h"

#include <QList>
#include <QSslError>
#include <QTimer>

class QFile;
class QNetworkAccessManager;

// Streams the reply to a file in the system temporary folder as data
// arrives, and hands the complete file over with onFinish(QString). A
// download that fails, is aborted or times out removes its file and reports
// onError (and onAbort when abort() asked for it). GUI thread.
class FileDownloader : public IFileDownloader
{
    Q_OBJECT
public:
    enum : int { InactivityTimeoutMs = 12000, ReadBufferBytes = 4 * 1024 * 1024 };

    explicit FileDownloader(QObject *parent = nullptr);
    ~FileDownloader() override;

    void download(QUrl url) override;
    bool isBusy() override;
    void abort() override;
    // A request is out (with or without data so far).
    bool hasRequest() const { return m_reply != nullptr; }

private slots:
    void onNetworkError(QNetworkReply::NetworkError code);
    void onReadyRead();
    void onFinished();
    void onTimeout();
    void sslErrors(QList<QSslError> sslErrors);

private:
    void discardFile();
    void releaseReply();

    QNetworkAccessManager *m_accessManager = nullptr;
    QNetworkReply *m_reply = nullptr;
    QFile *m_file = nullptr;
    QString m_filePath;
    QTimer m_timer;
    qint64 m_written = 0;
    bool m_started = false;
    bool m_aborted = false;
    bool m_timedOut = false;
};
