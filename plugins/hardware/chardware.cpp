#include "plugins/hardware/chardware.h"

#include "bridge/constants.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QStorageInfo>

Q_LOGGING_CATEGORY(lcHardware, "Hardware")

using Constants::callback;
using Constants::key;
namespace JSInvoke = Constants::JSInvoke;
namespace Other = Constants::Other;

CHardwareResolvedResponse::CHardwareResolvedResponse(const QVariantList &devices)
    : IResponse({{key(Other::devices), devices}}, callback(JSInvoke::getUSBDevicesDone))
{
}

CHardwareRejectResponse::CHardwareRejectResponse(int code)
    : IResponse({{key(Other::code), code}}, callback(JSInvoke::getUSBDevicesFail), Rejected)
{
}

CHardware::CHardware(const QString &usbRoot) : m_usbRoot(usbRoot)
{
}

namespace {

// sysfs attribute files are one line; a missing file reads as empty.
QString attribute(const QString &dir, const QString &name)
{
    QFile file(dir + QLatin1Char('/') + name);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(4096)).trimmed();
}

} // namespace

CHardware::UsbResult CHardware::enumerateUsb(const QString &root)
{
    UsbResult result;
    const QDir dir(root);
    if (!dir.exists()) {
        qCWarning(lcHardware) << "no USB device folder at" << root;
        return result;
    }
    static const QRegularExpression hexId(QStringLiteral("^[0-9a-f]{1,4}$"));
    const QStringList names = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        // "1-1:1.0" is an interface of device "1-1"; "usb1" a root hub,
        // the host controller's own, not an attached device.
        if (name.contains(QLatin1Char(':')) || name.startsWith(QLatin1String("usb")))
            continue;
        const QString path = dir.filePath(name);
        const QString vendor = attribute(path, QStringLiteral("idVendor")).toLower();
        const QString product = attribute(path, QStringLiteral("idProduct")).toLower();
        if (!hexId.match(vendor).hasMatch() || !hexId.match(product).hasMatch())
            continue;
        QString serial = attribute(path, QStringLiteral("serial"));
        if (serial.isEmpty())
            serial = name;
        result.devices.append(QVariantMap{{QStringLiteral("idVendor"), vendor},
                                          {QStringLiteral("idProduct"), product},
                                          {QStringLiteral("serialNumber"), serial},
                                          {QStringLiteral("product"), QString()},
                                          {QStringLiteral("manufacturer"), QString()}});
    }
    return result;
}

QVariantList CHardware::mountedDevices()
{
    QVariantList volumes;
    const QList<QStorageInfo> mounted = QStorageInfo::mountedVolumes();
    for (const QStorageInfo &volume : mounted) {
        volumes.append(QVariantMap{
            {key(Other::name), volume.name()},
            {key(Other::isValid), volume.isValid()},
            {key(Other::isReady), volume.isReady()},
            {key(Other::rootPath), volume.rootPath()},
            {key(Other::isReadyOnly), volume.isReadOnly()},
            {key(Other::displayName), volume.displayName()},
            {key(Other::bytesTotal), volume.bytesTotal()},
            {key(Other::bytesAvailable), volume.bytesAvailable()},
            {key(Other::bytesFree), volume.bytesFree()},
            {key(Other::device), volume.device()},
        });
    }
    return volumes;
}

QSharedPointer<Task::ITask> CHardware::getUSBDevices()
{
    const QString root = m_usbRoot;
    return Task::onPool([root]() -> ResponsePtr {
        const UsbResult usb = enumerateUsb(root);
        if (usb.code == 0)
            return ResponsePtr(new CHardwareResolvedResponse(usb.devices));
        return ResponsePtr(new CHardwareRejectResponse(usb.code));
    });
}
