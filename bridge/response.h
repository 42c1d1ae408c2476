#pragma once

#include <QSharedPointer>
#include <QString>
#include <QVariantMap>

// A task's report: payload, the page callback it is delivered under, and
// whether it resolves (0) or rejects (1). Never a QObject: responses travel
// from pool threads to the GUI thread inside shared pointers.
class IResponse
{
public:
    enum Type { Resolved = 0, Rejected = 1 };

    explicit IResponse(const QVariantMap &data = {}, const QString &functionName = {},
                       int type = Resolved);
    virtual ~IResponse();
    virtual QVariantMap toVariantMap() const;

    QVariantMap data;
    QString functionName;
    qint32 type = Resolved;
};

// The generic failure payload: {"code", "message"}; a message that is a JSON
// object reaches the page as an object.
class CErrorResponse : public IResponse
{
public:
    CErrorResponse(qint32 code, const QString &message, const QString &functionName = {},
                   int type = Rejected);
    QVariantMap toVariantMap() const override;

    qint32 code;
    QString message;
};

using ResponsePtr = QSharedPointer<IResponse>;
