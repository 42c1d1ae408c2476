#pragma once

#include "ifiledownloader.h"

#include <QList>
#include <QSslError>
#include <QTimer>

namespace kelcab {
class StagedFile;
}
class QNetworkAccessManager;

// Streams a successful reply straight into a staged file beside its target
// (see setTarget) and puts it in place only once complete: onFinish(QString)
// then carries the target's path. Redirects are followed as a browser does,
// never from https to http. A download that fails, is aborted or times out
// leaves the target and its folder's other files as they were and reports
// onError (and onAbort when abort() asked for it). GUI thread.
class FileDownloader : public IFileDownloader
{
    Q_OBJECT
public:
    enum : int {
        InactivityTimeoutMs = 12000,
        ReadBufferBytes = 4 * 1024 * 1024,
        MaxRedirects = 20, // as browsers allow
    };

    explicit FileDownloader(QObject *parent = nullptr);
    ~FileDownloader() override;

    // Where the next download goes: name in folder (relative to the working
    // folder), which is created when the first data arrives.
    void setTarget(const QString &folder, const QString &name);
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
    bool stage();
    void failToStore(const QString &why);

    QNetworkAccessManager *m_accessManager = nullptr;
    QNetworkReply *m_reply = nullptr;
    kelcab::StagedFile *m_file = nullptr;
    QString m_folder;
    QString m_target;
    QTimer m_timer;
    qint64 m_written = 0;
    bool m_started = false;
    bool m_aborted = false;
    bool m_timedOut = false;
};
