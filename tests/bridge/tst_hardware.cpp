// USB devices from a fabricated kernel device tree (mounted volumes: the camera course).

#include "plugins/hardware/chardware.h"

#include <QtTest>

class tst_Hardware : public QObject
{
    Q_OBJECT
private slots:
    void usbDevices();
};

QVariantMap device(const QString &vendor, const QString &product, const QString &serial)
{
    return {{"idVendor", vendor}, {"idProduct", product}, {"serialNumber", serial},
            {"product", QString()}, {"manufacturer", QString()}};
}

// Two devices; interfaces and the root hub are left out.
void tst_Hardware::usbDevices()
{
    const QMap<QString, QVariantMap> tree{ // entry name -> attribute files
        {"usb1", {{"idVendor", "1d6b"}, {"idProduct", "0002"}, {"serial", "0000:00:14.0"}}},
        {"1-1", {{"idVendor", "046d"}, {"idProduct", "C52B"}, {"serial", "5&2a4c1d&0&1"}}},
        // An interface with ids (they have none): its name must leave it out.
        {"1-1:1.0", {{"idVendor", "046d"}, {"idProduct", "c52b"}, {"bInterfaceClass", "03"}}},
        {"1-1.2", {{"idVendor", "0bda"}, {"idProduct", "8153"}}},
        {"1-1.2:1.0", {{"bInterfaceClass", "ff"}}}};
    QTemporaryDir dir;
    for (auto entry = tree.cbegin(); entry != tree.cend(); ++entry) {
        QVERIFY(QDir(dir.path()).mkpath(entry.key()));
        for (auto it = entry->cbegin(); it != entry->cend(); ++it) {
            QFile file(dir.filePath(entry.key() + '/' + it.key()));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(it.value().toByteArray() + '\n');
        }
    }

    CHardware hardware(dir.path());
    const QSharedPointer<Task::ITask> task = hardware.getUSBDevices();
    QSignalSpy resolved(task.data(), &Task::ITask::onResolved);
    task->start();
    QVERIFY(resolved.wait(10000));
    const auto response = resolved.first().first().value<QSharedPointer<IResponse>>();
    QCOMPARE(response->functionName, QStringLiteral("getUSBDevicesDone"));
    const QVariantList expected{device("046d", "c52b", "5&2a4c1d&0&1"),
                                device("0bda", "8153", "1-1.2")};
    QCOMPARE(response->toVariantMap(), (QVariantMap{{"devices", expected}}));
}

QTEST_MAIN(tst_Hardware)
#include "tst_hardware.moc"
