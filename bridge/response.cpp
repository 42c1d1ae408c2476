#include "response.h"

#include "constants.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

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

qint64 Answer::size(const QVariant &data)
{
    switch (data.userType()) {
    case QMetaType::QString:
        return 8 + 2 * qint64(data.toString().size());
    case QMetaType::QByteArray:
        return 8 + 2 * qint64(data.toByteArray().size());
    case QMetaType::QStringList: {
        qint64 total = 12;
        for (const QString &s : data.toStringList())
            total += 12 + 2 * qint64(s.size());
        return total;
    }
    case QMetaType::QVariantList: {
        qint64 total = 12;
        for (const QVariant &v : data.toList())
            total += 4 + size(v);
        return total;
    }
    case QMetaType::QVariantMap: {
        qint64 total = 12;
        const QVariantMap map = data.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            total += 12 + 2 * qint64(it.key().size()) + size(it.value());
        return total;
    }
    default:
        return 8;
    }
}
