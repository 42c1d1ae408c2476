#pragma once

#include <QByteArray>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QVariantMap>

class QNetworkRequest;

// One HTTP request of the page, built from its ajax settings.
class AjaxPayload : public QObject
{
    Q_OBJECT
public:
    // The enumerator names are the method texts the page sends.
    enum Method { GET, POST, HEAD, PUT, PATCH, DELETE, OPTIONS };
    Q_ENUM(Method)

    AjaxPayload() = default;
    AjaxPayload(const AjaxPayload &other);
    AjaxPayload &operator=(const AjaxPayload &other);

    // Settings keys: "method" (else "type") names the method exactly as an
    // enumerator; "data" is the body, a map or list as compact JSON, other
    // values as text; "headers" maps raw header names to values. Without a
    // Content-Type header the request says "application/json".
    static AjaxPayload fromSettings(const QString &url, const QVariantMap &settings);

    // -1 when methodName names no enumerator.
    qint32 method = -1;
    // The text the method was read from, for the page's error message.
    QString methodName;
    QByteArray body;
    QSharedPointer<QNetworkRequest> request;
};
