#pragma once

#include "content/folderarchivemanager.h"
#include "content/forwardrequestinterceptor.h"

#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QSharedPointer>
#include <QString>
#include <QWebEngineUrlRequestInterceptor>

// Dev mode (Tamberlin --dev DIR): serves the author's loose files exactly as
// forward mode serves the program folder, with three differences. When DIR is
// the course folder itself (no webapp/ inside), the page's "/webapp/" paths
// are mapped onto it. And a media file that changed on disk gets a fresh
// copy, where forward mode keeps the first copy for the program's lifetime.
// And the course folder's own files go through "kelzip", served from the
// folder as a packed course is served from its archive: a file: response
// has no Content-Type, and the web engine runs no module script without one.
// Media keeps its marker-free copy, under either scheme.
class DevRequestInterceptor : public QWebEngineUrlRequestInterceptor
{
    Q_OBJECT
public:
    // root stands for "/" of the page's file URLs; courseDir is what
    // "/webapp/" names (root + "/webapp", or root itself).
    DevRequestInterceptor(const QString &root, const QString &courseDir,
                          QObject *parent = nullptr);

    void interceptRequest(QWebEngineUrlRequestInfo &info) override;
    ForwardRequestInterceptor::Decision decide(const QUrl &url);

private:
    // What forward mode does with a file: URL, with the folder mapping.
    ForwardRequestInterceptor::Decision decideFile(const QUrl &url);
    ForwardRequestInterceptor::Decision decideArchive(const QUrl &url);
    QSharedPointer<ForwardRequestInterceptor> forwardFor(const QString &local);
    void copied(const QString &local);

    const QString m_root;
    const QString m_courseDir;
    const FolderArchiveManager m_folder;
    QMutex m_mutex;
    QSharedPointer<ForwardRequestInterceptor> m_forward;
    // Media sources as they were when copied: modification time and size.
    QHash<QString, QPair<QDateTime, qint64>> m_copied;
};
