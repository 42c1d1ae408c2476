#include "response.h"

#include "constants.h"

#include <QJsonDocument>
#include <QJsonObject>

IResponse::IResponse(const QVariantMap &data, const QString &functionName, int type)
    : data(data), functionName(functionName), type(type)
{
}

IResponse::~IResponse() = default;

QVariantMap IResponse::toVariantMap() const
{
    return data;
}

CErrorResponse::CErrorResponse(qint32 code, const QString &message,
                               const QString &functionName, int type)
    : IResponse({}, functionName, type), code(code), message(message)
{
}

QVariantMap CErrorResponse::toVariantMap() const
{
    QVariantMap map;
    map.insert(Constants::key(Constants::Other::code), code);
    const QJsonDocument doc = QJsonDocument::fromJson(message.toUtf8());
    if (doc.isObject())
        map.insert(Constants::key(Constants::Other::message), doc.object().toVariantMap());
    else
        map.insert(Constants::key(Constants::Other::message), message);
    return map;
}
