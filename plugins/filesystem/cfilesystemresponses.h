#pragma once

#include "bridge/constants.h"
#include "bridge/response.h"

// The file system plugin's answers: all resolve, each under its own callback
// with the per-item result map as payload.
template <Constants::JSInvoke::_JSInvoke Callback>
class CFileSystemResultResponse : public IResponse
{
public:
    explicit CFileSystemResultResponse(const QVariantMap &result)
        : IResponse(result, Constants::callback(Callback), Resolved)
    {
    }
};

using CFileSystemItemsInfoResponse = CFileSystemResultResponse<Constants::JSInvoke::fsItemsInfoFinish>;
using CFileSystemItemsDeleteResponse = CFileSystemResultResponse<Constants::JSInvoke::fsItemsDeleteFinish>;
using CFileSystemItemsCopyResponse = CFileSystemResultResponse<Constants::JSInvoke::fsItemsCopyFinish>;
using CFileSystemItemsListResponse = CFileSystemResultResponse<Constants::JSInvoke::fsItemsListDone>;
using CFileSystemContentsRootPathResponse =
    CFileSystemResultResponse<Constants::JSInvoke::fsContentsRootPathFinish>;
