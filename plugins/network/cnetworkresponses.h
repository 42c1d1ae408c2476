#pragma once

#include "bridge/response.h"

#include <QByteArray>
#include <QList>
#include <QPair>

// networkStatusChange: {status: "online" | "offline"}.
class CNetworkOnlineResponse : public IResponse
{
public:
    explicit CNetworkOnlineResponse(bool isOnline);
    bool isOnline;
};

// An ajax reply with status 2xx or 304; the bridge names the callback.
class CNetworkAjaxResponse : public IResponse
{
public:
    using RawHeaders = QList<QPair<QByteArray, QByteArray>>;
    CNetworkAjaxResponse(qint32 code, const QByteArray &body, const RawHeaders &headers);
    // {code, headers: {lower-case name: value}, response}: the body as an
    // object when it is a JSON object, else as text.
    QVariantMap toVariantMap() const override;

    qint32 code;
    QByteArray body;
    RawHeaders headers;
};
