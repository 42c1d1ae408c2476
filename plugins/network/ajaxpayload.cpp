#include "ajaxpayload.h"

#include "bridge/constants.h"

#include <QJsonDocument>
#include <QMetaEnum>
#include <QNetworkRequest>
#include <QUrl>

AjaxPayload::AjaxPayload(const AjaxPayload &other)
    : QObject(), method(other.method), methodName(other.methodName), body(other.body),
      request(other.request)
{
}

AjaxPayload &AjaxPayload::operator=(const AjaxPayload &other)
{
    method = other.method;
    methodName = other.methodName;
    body = other.body;
    request = other.request;
    return *this;
}

AjaxPayload AjaxPayload::fromSettings(const QString &url, const QVariantMap &settings)
{
    using Constants::name;
    namespace Network = Constants::Network;

    AjaxPayload payload;
    const QString methodKey = name(Network::method);
    payload.methodName = settings.contains(methodKey) ? settings.value(methodKey).toString()
                                                      : settings.value(name(Network::type)).toString();
    bool ok = false;
    const int value = QMetaEnum::fromType<Method>().keyToValue(payload.methodName.toUtf8(), &ok);
    payload.method = ok ? value : -1;

    payload.request.reset(new QNetworkRequest(QUrl(url, QUrl::TolerantMode)));

    const QVariant data = settings.value(Constants::key(Constants::Other::data));
    payload.body = QJsonDocument::fromVariant(data).toJson(QJsonDocument::Compact);
    if (payload.body.isEmpty())
        payload.body = data.toByteArray();

    const QVariantMap headers = settings.value(name(Network::headers)).toMap();
    for (auto it = headers.cbegin(); it != headers.cend(); ++it)
        payload.request->setRawHeader(it.key().toUtf8(), it.value().toByteArray());
    if (!payload.request->hasRawHeader("Content-Type"))
        payload.request->setRawHeader("Content-Type", "application/json");
    return payload;
}
