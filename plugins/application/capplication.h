#pragma once

#include "bridge/iplugin.h"
#include "bridge/qmlevent.h"
#include "bridge/response.h"

#include <QList>
#include <QSharedPointer>
#include <QString>
#include <QVariantMap>

// Answer of the plugin's initialisation: no payload; the bridge adds the
// version and names the callback.
class CApplicationResolvedResponse : public IResponse
{
public:
    CApplicationResolvedResponse();
};

// applicationInfoDone: where the program is and what it is called.
class CApplicationInfoResponse : public IResponse
{
public:
    CApplicationInfoResponse(const QString &dirPath, const QString &filePath,
                             const QString &name, const QString &displayName);
};

// The answers about the activation state; functionName tells which one.
class CApplicationStateResponse : public IResponse
{
public:
    CApplicationStateResponse(const QString &functionName, const QVariantMap &data = {});
};

// An application event on its way to the page; its map is the event's data.
class CApplicationEvent : public IResponse
{
public:
    static QString callbackName() { return QStringLiteral("applicationEvent"); }

    explicit CApplicationEvent(const QMLEvent &event);
    QVariantMap toVariantMap() const override;

private:
    QMLEvent m_event;
};

// The page's view of the shell application: folders and names, activation
// state and its changes, and application events such as a handed-over URI.
// Events that arrive before the page initialised the plugin are kept, in
// order, and delivered after the initialisation has been answered. At most
// MaxPendingEvents are kept: other processes can hand over URIs without end,
// so the oldest go first (with one warning until the queue is delivered).
class CApplication : public CIdentifiable<IPlugin>
{
    Q_OBJECT
public:
    static constexpr int MaxPendingEvents = 64;

    CApplication();
    ~CApplication() override;

    QSharedPointer<Task::ITask> initialize() override;

    bool isInitialized() const { return m_initialized; }
    int pendingEventCount() const { return m_pendingEvents.size(); }

signals:
    void invokeJSCall(QString functionName, QVariantMap params);

public slots:
    void applicationEvent(QMLEvent event);
    QSharedPointer<Task::ITask> stateChanged(int code);
    QSharedPointer<Task::ITask> setState();
    QSharedPointer<Task::ITask> getState();
    QSharedPointer<Task::ITask> info();

private:
    void releasePendingEvents();
    void send(const QMLEvent &event);

    // Both live on the GUI thread only: the flag is set where the queue is
    // emptied, so no event can slip past the queued ones.
    bool m_initialized = false;
    QList<QMLEvent> m_pendingEvents;
    int m_droppedEvents = 0;
};
