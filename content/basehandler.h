#pragma once

#include <QMimeDatabase>
#include <QWebEngineUrlSchemeHandler>

// Base of the shell's scheme handlers: the MIME database and the release of
// per-request state when Qt WebEngine destroys a job.
class BaseHandler : public QWebEngineUrlSchemeHandler
{
    Q_OBJECT
public:
    using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;

    void requestStarted(QWebEngineUrlRequestJob *job) override = 0;

public slots:
    // Connected to each streamed job's destroyed(): deletes the stream that
    // the job's "stream" property points to.
    void cleanStream(QObject *object);

protected:
    QMimeDatabase m_mimeDatabase;
};
