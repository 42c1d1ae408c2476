#include "cnetworkresponses.h"

#include "bridge/constants.h"

#include <QJsonDocument>
#include <QJsonObject>

using Constants::key;
namespace Other = Constants::Other;
namespace Network = Constants::Network;

CNetworkOnlineResponse::CNetworkOnlineResponse(bool isOnline)
    : IResponse({{key(Other::status), key(isOnline ? Other::online : Other::offline)}},
                Constants::callback(Constants::JSInvoke::networkStatusChange), Resolved),
      isOnline(isOnline)
{
}

CNetworkAjaxResponse::CNetworkAjaxResponse(qint32 code, const QByteArray &body,
                                           const RawHeaders &headers)
    : code(code), body(body), headers(headers)
{
}

QVariantMap CNetworkAjaxResponse::toVariantMap() const
{
    QVariantMap map;
    map.insert(key(Other::code), code);
    QVariantMap names;
    // Reply order: a later pair of the same name replaces an earlier one.
    // Qt joins repeated Set-Cookie lines with a line feed into one pair; the
    // page gets the later cookie, as for any other repeated header.
    for (const auto &pair : headers) {
        const QString name = QString::fromUtf8(pair.first).toLower();
        QString value = QString::fromUtf8(pair.second);
        if (name == QLatin1String("set-cookie"))
            value = value.mid(value.lastIndexOf(QLatin1Char('\n')) + 1);
        names.insert(name, value);
    }
    map.insert(Constants::name(Network::headers), names);
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    map.insert(Constants::name(Network::response),
               doc.isObject() ? QVariant(doc.object().toVariantMap())
                              : QVariant(QString::fromUtf8(body)));
    return map;
}
