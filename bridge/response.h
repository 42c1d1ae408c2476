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

// What one answer may carry to the page. Qt's web channel sends each message
// as binary JSON (two bytes per character) and gives up past 128 MiB, leaving
// values out or sending nothing; a limit three quarters of that leaves room
// for the rest of the message.
namespace Answer {
constexpr qint64 kMaxBytes = 96 * 1024 * 1024;
// About the size data takes in that form, never much less.
qint64 size(const QVariant &data);
} // namespace Answer
