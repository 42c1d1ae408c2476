#pragma once

#include "content/forwardrequestinterceptor.h"

#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QSharedPointer>
#include <QString>
#include <QWebEngineUrlRequestInterceptor>

// Dev mode (Tamberlin --dev DIR): serves the author's loose files exactly as
// forward mode serves the program folder, with two differences. When DIR is
// the course folder itself (no webapp/ inside), the page's "/webapp/" paths
// are mapped onto it. And a media file that changed on disk gets a fresh
// copy, where forward mode keeps the first copy for the program's lifetime.
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
    QSharedPointer<ForwardRequestInterceptor> forwardFor(const QString &local);
    void copied(const QString &local);

    const QString m_root;
    const QString m_courseDir;
    QMutex m_mutex;
    QSharedPointer<ForwardRequestInterceptor> m_forward;
    // Media sources as they were when copied: modification time and size.
    QHash<QString, QPair<QDateTime, qint64>> m_copied;
};
