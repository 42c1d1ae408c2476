// The camera plugin through the dispatcher, with the real camera view and
// CameraManager, on a machine without a camera (page side: e2e_camera-kelcab).

#include "bridge/jsinterface.h"
#include "plugins/camera/ccamera.h"
#include "plugins/camera/cameramanager.h"

#include <QCamera>
#include <QCameraInfo>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QtTest>

class tst_Camera : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void withoutDevice();
    void ean13IsNotReported();

private:
    // What the page received for uuid: "name key=value ...".
    QStringList answers(const QString &uuid) const;

    QQmlEngine m_engine;
    QScopedPointer<JSInterface> m_js;
    QScopedPointer<QSignalSpy> m_spy;
    QList<QObject *> m_views;
};

QStringList tst_Camera::answers(const QString &uuid) const
{
    QStringList out;
    for (const QList<QVariant> &args : *m_spy) {
        QVariantMap data = args.at(1).toMap();
        if (data.take("uuid").toString() != uuid)
            continue;
        QString text = args.at(0).toString();
        for (auto it = data.cbegin(); it != data.cend(); ++it)
            text += QStringLiteral(" %1=%2").arg(it.key(), it.value().toString());
        out.append(text);
    }
    return out;
}

void tst_Camera::initTestCase()
{
    m_engine.rootContext()->setContextProperty("cameraManager", CameraManager::instance());
    connect(CameraManager::instance(), &CameraManager::startInitialization, this, [this] {
        QQmlComponent component(&m_engine, QUrl("qrc:/CameraView.qml"));
        m_views.append(component.create());
        QVERIFY2(m_views.last(), qPrintable(component.errorString()));
    });
}

void tst_Camera::init()
{
    m_js.reset(new JSInterface(nullptr));
    m_spy.reset(new QSignalSpy(m_js.data(), &JSInterface::invokeJSCall));
}

void tst_Camera::cleanup()
{
    m_js.reset();
    qDeleteAll(m_views);
    m_views.clear();
    QVERIFY(!CameraManager::instance()->camera());
}

// What the page cannot provoke: later broadcasts reach no call already
// answered, and a camera failure after the answers reaches the newest
// initialisation (a reloaded page initialises again).
void tst_Camera::withoutDevice()
{
    if (!QCameraInfo::availableCameras().isEmpty())
        QSKIP("this machine has a camera");
    m_js->initializePlugin("init", "Camera", {});
    // The view shows the page's text.
    m_js->setCameraText("text", "Scan the code");
    const QList<QObject *> items = m_views.last()->findChildren<QObject *>();
    QTRY_VERIFY(std::any_of(items.cbegin(), items.cend(),
                            [](QObject *o) { return o->property("text") == "Scan the code"; }));
    m_js->startCamera("start");
    m_js->initializePlugin("again", "Camera", {});
    auto *camera = qobject_cast<CCamera *>(m_js->camera().data());
    emit camera->resolve("initializePluginDone");
    emit camera->resolve("startCameraDone");
    QTest::ignoreMessage(QtWarningMsg, "camera error: \"The camera service is missing\"");
    emit qobject_cast<QCamera *>(CameraManager::instance()->camera())->errorOccurred(QCamera::CameraError);
    QCOMPARE(answers("init"), QStringList{"initializePluginDone"});
    QCOMPARE(answers("start"), QStringList{"startCameraFail"});
    QCOMPARE(answers("again"), (QStringList{"initializePluginDone", "startCameraFail"}));
    QCOMPARE(m_js->runningTaskCount(), 0);
}

// The view's decoder is set up for the page's symbologies; EAN-13 is not one of them.
void tst_Camera::ean13IsNotReported()
{
    const QString zint = QStandardPaths::findExecutable("zint");
    QVERIFY2(!zint.isEmpty(), "zint is needed: scripts/install-deps.sh installs it");
    QTemporaryDir dir;
    const QString png = dir.filePath("code.png");
    QCOMPARE(QProcess::execute(zint, {"-b", "13", "-d", "590123412345", "--scale=2",
                                      "--whitesp=10", "-o", png}), 0);

    m_js->initializePlugin("init", "Camera", {});
    // Into the decoder that the view registered, as the view configured it.
    QObject *decoder = CameraManager::instance()->decoder();
    QSignalSpy finished(decoder, SIGNAL(decodingFinished(bool)));
    QVERIFY(QMetaObject::invokeMethod(decoder, "decodeImage", Q_ARG(QImage, QImage(png)),
                                      Q_ARG(int, -1), Q_ARG(int, -1), Q_ARG(bool, false)));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(answers("init"), QStringList{"initializePluginDone"});
}

Q_IMPORT_PLUGIN(MediaFactory)
QTEST_MAIN(tst_Camera)
#include "tst_camera.moc"
