// The camera overlay on its own: it hands its camera and decoder to the
// manager, reports that it is ready, shows the manager's text and turns its
// back button into cameraClose. Loaded from the program's resources.

#include "plugins/camera/cameramanager.h"

#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QSignalSpy>
#include <QtTest>

#include <QZXing.h>
#include <QZXingFilter.h>

class tst_CameraView : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void handsOverAndReports();
};

void tst_CameraView::initTestCase()
{
    qmlRegisterType<QZXing>("QZXing", 2, 3, "QZXing");
    qmlRegisterType<QZXingFilter>("QZXing", 2, 3, "QZXingFilter");
}

void tst_CameraView::handsOverAndReports()
{
    CameraManager *manager = CameraManager::instance();
    QQmlEngine engine;
    engine.rootContext()->setContextProperty(QStringLiteral("cameraManager"), manager);
    QSignalSpy done(manager, &CameraManager::initializationDone);
    QSignalSpy closed(manager, &CameraManager::cameraClose);

    // From the program's own resources, as Main.qml loads it.
    QQmlComponent component(&engine, QUrl(QStringLiteral("qrc:/CameraView.qml")));
    QScopedPointer<QObject> view(component.create());
    QVERIFY2(view, qPrintable(component.errorString()));

    QCOMPARE(done.count(), 1);
    QVERIFY(manager->camera());
    QVERIFY(manager->camera()->inherits("QCamera"));
    QVERIFY(manager->decoder());
    QVERIFY(qobject_cast<QZXing *>(manager->decoder()));
    QCOMPARE(view->property("isCameraActive").toBool(), false);

    emit manager->textChanged(QStringLiteral("Scan the code"));
    bool shown = false;
    for (QQuickItem *item : view->findChildren<QQuickItem *>())
        shown = shown || item->property("text").toString() == QLatin1String("Scan the code");
    QVERIFY(shown);

    QObject *back = nullptr;
    for (QQuickItem *item : view->findChildren<QQuickItem *>())
        if (item->inherits("QQuickToolButton") || QString(item->metaObject()->className()).startsWith("ToolButton"))
            back = item;
    QVERIFY(back);
    QVERIFY(QMetaObject::invokeMethod(back, "clicked"));
    QCOMPARE(closed.count(), 1);

    // The view owns the camera; the manager forgets it with the view.
    view.reset();
    QVERIFY(!manager->camera());
    QVERIFY(!manager->decoder());
}

QTEST_MAIN(tst_CameraView)
#include "tst_cameraview.moc"
