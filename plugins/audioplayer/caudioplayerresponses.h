#pragma once

#include "bridge/response.h"

// The audio player's answers: a callback name and a map; the map is the
// payload as it stands.
class CAudioPlayerStatusResponse : public IResponse
{
public:
    CAudioPlayerStatusResponse(const QString &functionName, const QVariantMap &data)
        : IResponse(data, functionName, Resolved)
    {
    }
};

class CAudioPlayerStatusRejectResponse : public IResponse
{
public:
    CAudioPlayerStatusRejectResponse(const QString &functionName, const QVariantMap &data)
        : IResponse(data, functionName, Rejected)
    {
    }
};

// Answers without payload of their own.
class CAudioPlayerResolveResponse : public CAudioPlayerStatusResponse
{
public:
    explicit CAudioPlayerResolveResponse(const QString &functionName)
        : CAudioPlayerStatusResponse(functionName, {})
    {
    }
};

class CAudioPlayerRejectResponse : public CAudioPlayerStatusRejectResponse
{
public:
    explicit CAudioPlayerRejectResponse(const QString &functionName)
        : CAudioPlayerStatusRejectResponse(functionName, {})
    {
    }
};
