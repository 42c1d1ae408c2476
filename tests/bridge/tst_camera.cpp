// The camera plugin through the dispatcher, against the real camera view
// (loaded from the program's resources the way Main.qml opens it) and the
// real CameraManager. No camera device is expected on the test machine.

#include "bridge/jsinterface.h"
#include "plugins/camera/ccamera.h"
#include "content/archiveaccessmanager.h"
#include "plugins/camera/cameramanager.h"

#include <QCameraInfo>
#include <QImage>
#include <QProcess>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <QZXing.h>
#include <QZXingFilter.h>

namespace {

class EmptyArchive : public ArchiveAccessManager
{
public:
    bool exists(const QString &) override { return false; }
    QByteArray read(const QString &) override { return {}; }
    QIODevice *open(const QString &) override { return nullptr; }
};

// Calls the page received for uuid, as "name" or "name {payload}".
QStringList answers(const QSignalSpy &spy, const QString &uuid)
{
    QStringList out;
    for (const QList<QVariant> &args : spy) {
        QVariantMap data = args.at(1).toMap();
        if (data.take(QStringLiteral("uuid")).toString() != uuid)
            continue;
        QString text = args.at(0).toString();
        for (auto it = data.cbegin(); it != data.cend(); ++it)
            text += QStringLiteral(" %1=%2").arg(it.key(), it.value().toString());
        out.append(text);
    }
    return out;
}

} // namespace

class tst_Camera : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void withoutDevice();
    void barcodes_data();
    void barcodes();

private:
    QString initialize();

    QQmlEngine *m_engine = nullptr;
    EmptyArchive m_archive;
    QScopedPointer<JSInterface> m_js;
    QList<QObject *> m_views;
};

void tst_Camera::initTestCase()
{
    qmlRegisterType<QZXing>("QZXing", 2, 3, "QZXing");
    qmlRegisterType<QZXingFilter>("QZXing", 2, 3, "QZXingFilter");
    m_engine = new QQmlEngine(this);
    m_engine->rootContext()->setContextProperty(QStringLiteral("cameraManager"),
                                                CameraManager::instance());
    // What Main.qml does: a new view for every request.
    connect(CameraManager::instance(), &CameraManager::startInitialization, this, [this] {
        QQmlComponent component(m_engine, QUrl(QStringLiteral("qrc:/CameraView.qml")));
        QObject *view = component.create();
        QVERIFY2(view, qPrintable(component.errorString()));
        m_views.append(view);
    });
}

void tst_Camera::init()
{
    m_js.reset(new JSInterface(&m_archive));
}

void tst_Camera::cleanup()
{
    m_js.reset();
    qDeleteAll(m_views);
    m_views.clear();
    QVERIFY(!CameraManager::instance()->camera());
}

QString tst_Camera::initialize()
{
    const QString uuid = QStringLiteral("init-1");
    m_js->initializePlugin(uuid, QStringLiteral("Camera"), {});
    return uuid;
}

void tst_Camera::withoutDevice()
{
    if (!QCameraInfo::availableCameras().isEmpty())
        QSKIP("this machine has a camera");
    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);

    m_js->startCamera(QStringLiteral("early-start"));
    m_js->stopCamera(QStringLiteral("early-stop"));
    QCOMPARE(answers(spy, "early-start"), QStringList{"startCameraFail"});
    QCOMPARE(answers(spy, "early-stop"), QStringList{"stopCameraFail"});

    const QString init = initialize();
    QCOMPARE(answers(spy, init), QStringList{"initializePluginDone"});
    QCOMPARE(m_views.size(), 1);
    QVERIFY(CameraManager::instance()->camera());

    // A view without a usable camera: clean failures, answered at once.
    m_js->startCamera(QStringLiteral("start"));
    m_js->stopCamera(QStringLiteral("stop"));
    QCOMPARE(answers(spy, "start"), QStringList{"startCameraFail"});
    QCOMPARE(answers(spy, "stop"), QStringList{"stopCameraFail"});

    m_js->initializePlugin(QStringLiteral("again"), QStringLiteral("Camera"), {});
    QCOMPARE(answers(spy, "again"), QStringList{"initializePluginFail code=608"});
    QCOMPARE(m_views.size(), 1);

    m_js->setCameraText(QStringLiteral("text"), QStringLiteral("Scan the parcel"));
    QCOMPARE(answers(spy, "text"), QStringList{"setCameraTextDone"});
    QObject *back = nullptr;
    bool shown = false;
    for (QQuickItem *item : m_views.first()->findChildren<QQuickItem *>()) {
        shown = shown || item->property("text").toString() == QLatin1String("Scan the parcel");
        if (QString::fromLatin1(item->metaObject()->className()).startsWith("ToolButton"))
            back = item;
    }
    QVERIFY(shown);

    QVERIFY(back);
    QVERIFY(QMetaObject::invokeMethod(back, "clicked"));
    // Later broadcasts reach no call that has been answered.
    emit m_js->camera()->resolve(QStringLiteral("initializePluginDone"));
    emit m_js->camera()->resolve(QStringLiteral("startCameraDone"));
    emit m_js->camera()->reject(QStringLiteral("stopCameraFail"));
    QCOMPARE(answers(spy, init), (QStringList{"initializePluginDone", "cameraClose"}));
    QCOMPARE(answers(spy, "start"), QStringList{"startCameraFail"});
    QCOMPARE(answers(spy, "stop"), QStringList{"stopCameraFail"});
    QCOMPARE(answers(spy, "again"), QStringList{"initializePluginFail code=608"});
    QCOMPARE(m_js->runningTaskCount(), 0);
}

void tst_Camera::barcodes_data()
{
    QTest::addColumn<QString>("symbology"); // zint's number
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("reported");
    QTest::newRow("CODE 128, mixed text") << "20" << "TAMBERLIN-0042 a/b" << true;
    QTest::newRow("CODE 128, digits") << "20" << "1234567890" << true;
    QTest::newRow("QR code is not decoded") << "58" << "TAMBERLIN" << false;
    QTest::newRow("EAN-13 is not decoded") << "13" << "590123412345" << false;
}

void tst_Camera::barcodes()
{
    QFETCH(QString, symbology);
    QFETCH(QString, text);
    QFETCH(bool, reported);
    const QString zint = QStandardPaths::findExecutable(QStringLiteral("zint"));
    QVERIFY2(!zint.isEmpty(), "zint is needed: scripts/install-deps.sh installs it");
    QTemporaryDir dir;
    const QString png = dir.filePath(QStringLiteral("code.png"));
    QCOMPARE(QProcess::execute(zint, {"-b", symbology, "-d", text, "--scale=2", "--whitesp=10",
                                      "-o", png}),
             0);
    const QImage image(png);
    QVERIFY(!image.isNull());

    QSignalSpy spy(m_js.data(), &JSInterface::invokeJSCall);
    const QString init = initialize();
    QCOMPARE(answers(spy, init), QStringList{"initializePluginDone"});

    // Straight into the decoder that the view registered, configured by it.
    QObject *decoder = CameraManager::instance()->decoder();
    QVERIFY(decoder);
    QSignalSpy finished(decoder, SIGNAL(decodingFinished(bool)));
    QString decoded;
    QVERIFY(QMetaObject::invokeMethod(decoder, "decodeImage", Q_RETURN_ARG(QString, decoded),
                                      Q_ARG(QImage, image), Q_ARG(int, -1), Q_ARG(int, -1),
                                      Q_ARG(bool, false)));
    QCOMPARE(finished.count(), 1);
    QStringList expected{"initializePluginDone"};
    if (reported)
        expected << QStringLiteral("barcodeScanned tag=%1").arg(text);
    QCOMPARE(answers(spy, init), expected);
}

QTEST_MAIN(tst_Camera)
#include "tst_camera.moc"
