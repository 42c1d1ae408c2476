#pragma once

#include "task.h"

#include <QObject>
#include <QSharedPointer>
#include <QString>

class IIdentifiable
{
public:
    virtual ~IIdentifiable() = default;
    virtual QString id() const = 0;
};

class IPlugin : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // The plugin's initialisation, not started; empty when there is none.
    virtual QSharedPointer<Task::ITask> initialize() = 0;
    virtual QSharedPointer<Task::ITask> finalize() = 0;
};

// Common base of every plugin: an IPlugin without parent and a fixed id.
template <typename Base>
class CIdentifiable : public IIdentifiable, public Base
{
public:
    CIdentifiable() : Base(nullptr), m_id(Task::newId()) {}
    QString id() const override { return m_id; }
    QSharedPointer<Task::ITask> finalize() override { return {}; }

private:
    const QString m_id;
};
