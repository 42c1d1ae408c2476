#pragma once

#include "ajaxpayload.h"
#include "bridge/iplugin.h"

#include <QNetworkAccessManager>
#include <QSharedPointer>

class IStatusCheck;

// Online state and its changes, and the page's HTTP requests. GUI thread.
class CNetwork : public CIdentifiable<IPlugin>
{
    Q_OBJECT
public:
    // Without a status check the plugin asks the system (CStatusCheck).
    explicit CNetwork(QSharedPointer<IStatusCheck> statusCheck = {});
    ~CNetwork() override;

    QSharedPointer<Task::ITask> initialize() override { return {}; }

    // Requests still running; a finished reply is released at once.
    int runningRequests() const;

signals:
    void statusChange(bool isOnline);

public slots:
    // Resolves with networkStatusChange {status}.
    QSharedPointer<Task::ITask> checkStatus();
    // Resolves with CNetworkAjaxResponse for 2xx and 304, rejects with
    // CErrorResponse {code: status or network error, message: body}
    // otherwise; an unknown method rejects at once with code -1.
    QSharedPointer<Task::ITask> ajax(AjaxPayload payload);

private:
    void send(const AjaxPayload &payload, const QSharedPointer<Task::CTask> &task);

    QNetworkAccessManager *accessManager();

    QNetworkAccessManager *m_accessManager = nullptr; // made on the first request
    QSharedPointer<IStatusCheck> m_statusCheck;
};
