#pragma once

#include "bridge/constants.h"
#include "bridge/response.h"

#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

// The storage plugin's answers. Failures carry nothing but their callback
// name: SQL errors stay in the log.

class CStorageResolveResponse : public IResponse
{
public:
    explicit CStorageResolveResponse(Constants::JSInvoke::_JSInvoke name)
        : IResponse({}, Constants::callback(name), Resolved)
    {
    }
};

class CStorageRejectResponse : public IResponse
{
public:
    explicit CStorageRejectResponse(Constants::JSInvoke::_JSInvoke name)
        : IResponse({}, Constants::callback(name), Rejected)
    {
    }
};

// dbSqlDone (list of row maps) and dbSqlBatchDone (list of such lists).
class CStorageSqlResponse : public IResponse
{
public:
    CStorageSqlResponse(Constants::JSInvoke::_JSInvoke name, const QVariantList &rows)
        : IResponse({{Constants::key(Constants::Other::data), rows}}, Constants::callback(name),
                    Resolved)
    {
    }
};

// loadDBItemDone: "data" only for a stored key.
class CStorageGetItemResponse : public IResponse
{
public:
    explicit CStorageGetItemResponse(const QString &value)
        : IResponse({}, Constants::callback(Constants::JSInvoke::loadDBItemDone), Resolved)
    {
        if (!value.isNull())
            data.insert(Constants::key(Constants::Other::data), value);
    }
};

class CStorageGetItemsResponse : public IResponse
{
public:
    explicit CStorageGetItemsResponse(const QVariantMap &items)
        : IResponse({{Constants::key(Constants::Other::data), items}},
                    Constants::callback(Constants::JSInvoke::loadDBItemsDone), Resolved)
    {
    }
};

class CStorageGetKeysResponse : public IResponse
{
public:
    explicit CStorageGetKeysResponse(const QStringList &keys)
        : IResponse({{Constants::key(Constants::Other::data), keys}},
                    Constants::callback(Constants::JSInvoke::getDBKeysFinish), Resolved)
    {
    }
};
