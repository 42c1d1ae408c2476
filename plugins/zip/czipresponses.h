#pragma once

#include "bridge/constants.h"
#include "bridge/response.h"

#include <QVariantList>

// Per-item results (item key to {"code", ...}) under the operation's success
// callback.
class CZipResolvedResponse : public IResponse
{
public:
    CZipResolvedResponse(Constants::JSInvoke::_JSInvoke callback, const QVariantMap &result)
        : IResponse(result, Constants::callback(callback), Resolved)
    {
    }
};

// The archive itself failed: {"code"} under the failure callback.
class CZipRejectedResponse : public IResponse
{
public:
    CZipRejectedResponse(Constants::JSInvoke::_JSInvoke callback, int code)
        : IResponse({{Constants::key(Constants::Other::code), code}},
                    Constants::callback(callback), Rejected)
    {
    }
};

// No payload: the callback name alone says how it went.
class CZipCompressDirectoryResponse : public IResponse
{
public:
    explicit CZipCompressDirectoryResponse(bool ok)
        : IResponse({},
                    Constants::callback(ok ? Constants::JSInvoke::zipCompressDirectoryDone
                                           : Constants::JSInvoke::zipCompressDirectoryFail),
                    ok ? Resolved : Rejected)
    {
    }
};

class CZipListContentsResponse : public IResponse
{
public:
    explicit CZipListContentsResponse(const QVariantList &entries)
        : IResponse({{Constants::key(Constants::Other::data), entries}},
                    Constants::callback(Constants::JSInvoke::zipListContentsDone), Resolved)
    {
    }
};
