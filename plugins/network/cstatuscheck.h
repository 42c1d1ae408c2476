#pragma once

#include <QObject>
#include <QtGlobal>

#include <memory>

// Bearer management is deprecated in Qt 5.15 but is still the only portable
// source of the machine's online state and its changes.
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
#include <QNetworkConfigurationManager>

// Where the network plugin learns whether the machine is online.
class IStatusCheck : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    virtual bool isOnline() = 0;
    // Starts following the machine's state, on the owner's thread; once.
    virtual void watch() {}

signals:
    void statusChange(bool isOnline);
};

// Declared for callers that only want the change signal; nothing implements it.
class INetwork : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    void networkStatusChange(bool isOnline);
};

// The online state as the system's network configurations report it.
class CStatusCheck : public IStatusCheck
{
    Q_OBJECT
public:
    CStatusCheck();
    // Thread-safe once watch() has run: asked from the pool by the status task.
    bool isOnline() override;
    void watch() override;

private:
    std::unique_ptr<QNetworkConfigurationManager> m_manager;
};
QT_WARNING_POP
