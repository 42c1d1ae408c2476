#pragma once

#include "bridge/iplugin.h"
#include "bridge/response.h"

#include <QSharedPointer>
#include <QString>
#include <QVariantList>

// getUSBDevicesDone {"devices"}.
class CHardwareResolvedResponse : public IResponse
{
public:
    explicit CHardwareResolvedResponse(const QVariantList &devices);
};

// getUSBDevicesFail {"code"}.
class CHardwareRejectResponse : public IResponse
{
public:
    explicit CHardwareRejectResponse(int code);
};

// Attached hardware: the present USB devices and the mounted volumes.
class CHardware : public CIdentifiable<IPlugin>
{
    Q_OBJECT
public:
    struct UsbResult
    {
        int code = 0;
        QVariantList devices;
    };

    // usbRoot is the kernel's USB device folder; tests point it at a
    // fabricated tree.
    explicit CHardware(const QString &usbRoot = QStringLiteral("/sys/bus/usb/devices"));

    QSharedPointer<Task::ITask> initialize() override { return {}; }

    // One map per USB device under root: "idVendor", "idProduct" (lower-case
    // hexadecimal text), "serialNumber" (the device's serial, or its kernel
    // name when it has none), "product" and "manufacturer" (always empty).
    // Interfaces and root hubs are left out; a missing root is no devices.
    static UsbResult enumerateUsb(const QString &root);

    // One map per mounted volume, in QStorageInfo's order, with the ten keys
    // of getMountedDevicesDone.
    static QVariantList mountedDevices();

public slots:
    QSharedPointer<Task::ITask> getUSBDevices();

private:
    const QString m_usbRoot;
};
