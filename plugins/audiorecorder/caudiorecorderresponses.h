#pragma once

#include "bridge/constants.h"
#include "bridge/response.h"

// The audio recorder's answers: a callback name and a map.
class CAudioRecorderStatusResponse : public IResponse
{
public:
    CAudioRecorderStatusResponse(const QString &functionName, const QVariantMap &data)
        : IResponse(data, functionName, Resolved)
    {
    }
};

class CAudioRecorderStatusRejectResponse : public IResponse
{
public:
    CAudioRecorderStatusRejectResponse(const QString &functionName, const QVariantMap &data)
        : IResponse(data, functionName, Rejected)
    {
    }
};

class CAudioRecorderResolveResponse : public CAudioRecorderStatusResponse
{
public:
    explicit CAudioRecorderResolveResponse(const QString &functionName)
        : CAudioRecorderStatusResponse(functionName, {})
    {
    }
};

class CAudioRecorderRejectResponse : public CAudioRecorderStatusRejectResponse
{
public:
    explicit CAudioRecorderRejectResponse(const QString &functionName,
                                          const QVariantMap &data = {})
        : CAudioRecorderStatusRejectResponse(functionName, data)
    {
    }
};

// A second initialisation: the recorder exists already.
class CAudioRecorderAlreadyExistsResponse : public CAudioRecorderStatusRejectResponse
{
public:
    explicit CAudioRecorderAlreadyExistsResponse(const QString &functionName)
        : CAudioRecorderStatusRejectResponse(functionName, {{Constants::key(Constants::Other::code),
                                                             Constants::Code::DeviceUnavailable}})
    {
    }
};
