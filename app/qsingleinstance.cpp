#include "app/qsingleinstance.h"

#include "app/qsingleinstance_p.h"

#include <QCoreApplication>
#include <QLocalServer>
#include <QLockFile>

QSingleInstance::QSingleInstance(QObject *parent)
    : QObject(parent), d(new QSingleInstancePrivate(this))
{
    resetInstanceID();
}

QSingleInstance::~QSingleInstance() = default;

QString QSingleInstance::instanceID() const
{
    return d->instanceId;
}

bool QSingleInstance::isAutoRecoveryActive() const
{
    return d->autoRecovery;
}

bool QSingleInstance::isGlobal() const
{
    return d->global;
}

bool QSingleInstance::isMaster() const
{
    return d->isMaster;
}

bool QSingleInstance::setStartupFunction(const std::function<int()> &function)
{
    if (d->isRunning)
        return false;
    d->startup = function;
    return true;
}

void QSingleInstance::setNotifyFunction(const std::function<void()> &function)
{
    d->notify = function;
}

int QSingleInstance::singleExec(bool autoClose)
{
    d->isRunning = true;
    d->startInstance();

    if (d->isMaster) {
        const int result = d->startup ? d->startup() : 0;
        if (result != 0) {
            if (autoClose)
                closeInstance();
            d->isRunning = false;
            return result;
        }
        if (autoClose)
            connect(qApp, &QCoreApplication::aboutToQuit, this, &QSingleInstance::closeInstance,
                    Qt::UniqueConnection);
        const int exitCode = QCoreApplication::exec();
        d->isRunning = false;
        return exitCode;
    }

    d->closeOnExit = autoClose;
    d->sendArgs();
    const int exitCode = QCoreApplication::exec();
    d->closeOnExit = false;
    d->isRunning = false;
    return exitCode;
}

void QSingleInstance::closeInstance()
{
    if (!d->isMaster)
        return;
    if (d->server) {
        d->server->close();
        d->server->deleteLater();
        d->server = nullptr;
    }
    d->lock->unlock();
    d->isMaster = false;
}

bool QSingleInstance::setInstanceID(const QString &instanceID)
{
    if (d->isRunning || d->isMaster)
        return false;
    if (instanceID != d->instanceId) {
        d->instanceId = instanceID;
        d->resetLockFile();
        emit instanceIDChanged(instanceID);
    }
    return true;
}

bool QSingleInstance::resetInstanceID()
{
    if (d->isRunning || d->isMaster)
        return false;
    d->instanceId = QSingleInstancePrivate::makeInstanceId(
        QCoreApplication::organizationName(), QCoreApplication::applicationName(), d->global,
        QSingleInstancePrivate::sessionId());
    d->resetLockFile();
    return true;
}

void QSingleInstance::setAutoRecovery(bool autoRecovery)
{
    if (d->autoRecovery == autoRecovery)
        return;
    d->autoRecovery = autoRecovery;
    emit autoRecoveryChanged(autoRecovery);
}

bool QSingleInstance::setGlobal(bool global, bool recreateId)
{
    if (d->isRunning || d->isMaster)
        return false;
    d->global = global;
    return recreateId ? resetInstanceID() : true;
}
