#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QWebEngineUrlRequestInterceptor>

#include <optional>

class ArchiveAccessManager;

// Moves GET and HEAD requests between the file system and the content
// archive: a "file" URL naming an archive entry goes to "kelzip", and a
// "kelzip" URL the archive lacks falls back to "file". Thread-safe: Qt may
// call it on the UI or the I/O thread, depending on how it was installed.
class RequestInterceptor : public QWebEngineUrlRequestInterceptor
{
    Q_OBJECT
public:
    enum SchemeTypes { KelZip = 0 };
    Q_ENUM(SchemeTypes)

    RequestInterceptor(ArchiveAccessManager *archive, const QString &contentsPath,
                       QObject *parent = nullptr);

    void interceptRequest(QWebEngineUrlRequestInfo &info) override;

    // Where a request goes, or nothing when it is left alone. Never throws.
    static std::optional<QUrl> redirectFor(const QByteArray &method, const QUrl &url,
                                           ArchiveAccessManager *archive);
    // The archive path a "file" or "kelzip" URL names: decoded, a Windows
    // drive ("/C:/") removed, normalised; null when it leaves the tree.
    static QString archivePath(const QUrl &url);

    QString contentsPath() const { return m_contentsPath; }

private:
    ArchiveAccessManager *m_archive;
    QString m_contentsPath;
};
