// USB devices from a fabricated kernel device tree, and the mounted volumes
// through the dispatcher.

#include "bridge/jsinterface.h"
#include "content/archiveaccessmanager.h"
#include "plugins/hardware/chardware.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

class EmptyArchive : public ArchiveAccessManager
{
public:
    bool exists(const QString &) override { return false; }
    QByteArray read(const QString &) override { return {}; }
    QIODevice *open(const QString &) override { return nullptr; }
};

// One sysfs entry: a folder of one-line attribute files.
void entry(const QString &root, const QString &name, const QVariantMap &attributes)
{
    QVERIFY(QDir(root).mkpath(name));
    for (auto it = attributes.cbegin(); it != attributes.cend(); ++it) {
        QFile file(root + '/' + name + '/' + it.key());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(it.value().toByteArray() + '\n');
    }
}

QVariantMap device(const QString &vendor, const QString &product, const QString &serial)
{
    return {{"idVendor", vendor}, {"idProduct", product}, {"serialNumber", serial},
            {"product", QString()}, {"manufacturer", QString()}};
}

} // namespace

class tst_Hardware : public QObject
{
    Q_OBJECT
private slots:
    void usbDevices_data();
    void usbDevices();
    void mountedDevices();
};

void tst_Hardware::usbDevices_data()
{
    QTest::addColumn<bool>("fabricate");
    QTest::addColumn<QVariantList>("expected");
    QTest::newRow("two devices, interfaces and root hub left out") << true << QVariantList{
        device("046d", "c52b", "5&2a4c1d&0&1"), device("0bda", "8153", "1-1.2")};
    QTest::newRow("empty tree") << false << QVariantList{};
}

void tst_Hardware::usbDevices()
{
    QFETCH(bool, fabricate);
    QFETCH(QVariantList, expected);
    QTemporaryDir dir;
    const QString root = dir.path();
    if (fabricate) {
        entry(root, "usb1", {{"idVendor", "1d6b"}, {"idProduct", "0002"}, {"serial", "0000:00:14.0"}});
        entry(root, "1-1", {{"idVendor", "046d"}, {"idProduct", "C52B"}, {"serial", "5&2a4c1d&0&1"}});
        // Interfaces carry no ids of their own; this one does, to prove that
        // it is its name that leaves it out.
        entry(root, "1-1:1.0", {{"idVendor", "046d"}, {"idProduct", "c52b"}, {"bInterfaceClass", "03"}});
        entry(root, "1-1.2", {{"idVendor", "0bda"}, {"idProduct", "8153"}});
        entry(root, "1-1.2:1.0", {{"bInterfaceClass", "ff"}});
    }

    CHardware hardware(root);
    const QSharedPointer<Task::ITask> task = hardware.getUSBDevices();
    QSignalSpy resolved(task.data(), &Task::ITask::onResolved);
    QSignalSpy rejected(task.data(), &Task::ITask::onRejected);
    task->start();
    QTRY_COMPARE_WITH_TIMEOUT(resolved.count(), 1, 10000);
    QCOMPARE(rejected.count(), 0);
    const auto response = resolved.first().first().value<QSharedPointer<IResponse>>();
    QCOMPARE(response->functionName, QStringLiteral("getUSBDevicesDone"));
    QCOMPARE(response->toVariantMap(), (QVariantMap{{"devices", expected}}));
}

void tst_Hardware::mountedDevices()
{
    EmptyArchive archive;
    JSInterface js(&archive);
    QSignalSpy spy(&js, &JSInterface::invokeJSCall);
    js.getMountedDevices(QStringLiteral("m"));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first().at(0).toString(), QStringLiteral("getMountedDevicesDone"));
    const QVariantMap data = spy.first().at(1).toMap();
    QCOMPARE(data.value("uuid").toString(), QStringLiteral("m"));
    const QStringList keys{"bytesAvailable", "bytesFree", "bytesTotal", "device", "displayName",
                           "isReady", "isReadyOnly", "isValid", "name", "rootPath"};
    bool root = false;
    for (const QVariant &v : data.value("devices").toList()) {
        const QVariantMap volume = v.toMap();
        QCOMPARE(volume.keys(), keys);
        if (volume.value("rootPath").toString() == QLatin1String("/")) {
            root = true;
            QVERIFY(volume.value("isValid").toBool());
            QVERIFY(volume.value("bytesTotal").toLongLong() > 0);
        }
    }
    QVERIFY(root);
}

QTEST_MAIN(tst_Hardware)
#include "tst_hardware.moc"
