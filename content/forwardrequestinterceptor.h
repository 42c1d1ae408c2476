#pragma once

#include <QHash>
#include <QMimeDatabase>
#include <QMutex>
#include <QSharedPointer>
#include <QString>
#include <QTemporaryFile>
#include <QUrl>
#include <QWebEngineUrlRequestInterceptor>

// Serves the course from plain files beside the program: a file request that
// finds nothing on disk is redirected under the content root (a Windows drive
// dropped), and audio and video under the root are replaced by temporary
// copies without the 8-byte media marker.
class ForwardRequestInterceptor : public QWebEngineUrlRequestInterceptor
{
    Q_OBJECT
public:
    explicit ForwardRequestInterceptor(const QString &contentRoot, QObject *parent = nullptr);

    void interceptRequest(QWebEngineUrlRequestInfo &info) override;

    enum class Outcome { Pass, Redirect, Block };
    struct Decision
    {
        Outcome outcome = Outcome::Pass;
        QUrl target;
    };
    // What a request for url gets. Makes (or reuses) the media copy. Never
    // throws.
    Decision decide(const QUrl &url);

    // The bytes that prefix marked media files.
    static QByteArray mediaMarker();
    QString contentRoot() const { return m_root; }

private:
    QSharedPointer<QTemporaryFile> mediaCopy(const QString &path);
    // Throws ArchiveException -101 when path cannot be opened and -100 when
    // the copy cannot be written.
    QSharedPointer<QTemporaryFile> makeMediaCopy(const QString &path);
    static QUrl fileUrl(const QString &localPath, const QUrl &request);

    const QString m_root;
    QMimeDatabase m_mimeDatabase;
    QMutex m_mutex; // the cache; the interceptor's thread depends on how it was installed
    QHash<QString, QSharedPointer<QTemporaryFile>> m_cache;
};
