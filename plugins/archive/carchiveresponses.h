#pragma once

#include "bridge/constants.h"
#include "bridge/response.h"

// All three go out with type 0: the task's final result reaches the page
// through its resolved path under the response's own callback name.

class CArchiveResolvedResponse : public IResponse
{
public:
    CArchiveResolvedResponse(const QString &relFilePath, const QString &targetPath)
        : IResponse({{Constants::key(Constants::Other::file_path), relFilePath},
                     {Constants::key(Constants::Other::target_path), targetPath},
                     {Constants::key(Constants::Other::extracted_path), targetPath}},
                    Constants::callback(Constants::JSInvoke::archiveUnzipFinish))
    {
    }
};

class CArchiveProgressResponse : public IResponse
{
public:
    CArchiveProgressResponse(const QString &relFilePath, const QString &targetPath, int total,
                             int progress)
        : IResponse({{Constants::key(Constants::Other::file_path), relFilePath},
                     {Constants::key(Constants::Other::target_path), targetPath},
                     {Constants::key(Constants::Other::total), total},
                     {Constants::key(Constants::Other::progress), progress}},
                    Constants::callback(Constants::JSInvoke::archiveUnzipProgress))
    {
    }
};

class CArchiveRejectedResponse : public IResponse
{
public:
    CArchiveRejectedResponse(const QString &relFilePath, const QString &targetPath, int code)
        : IResponse({{Constants::key(Constants::Other::file_path), relFilePath},
                     {Constants::key(Constants::Other::target_path), targetPath},
                     {Constants::key(Constants::Other::code), code}},
                    Constants::callback(Constants::JSInvoke::archiveUnzipError))
    {
    }
};
