#pragma once

#include <QMimeDatabase>
#include <QWebEngineUrlSchemeHandler>

// Base of the shell's scheme handlers: the MIME database.
class BaseHandler : public QWebEngineUrlSchemeHandler
{
    Q_OBJECT
public:
    using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;

    void requestStarted(QWebEngineUrlRequestJob *job) override = 0;

protected:
    QMimeDatabase m_mimeDatabase;
};
