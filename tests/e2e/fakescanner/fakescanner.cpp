// A barcode held to the camera: a Qt generic plugin (QT_QPA_GENERIC_PLUGINS=
// tamberlinfakescanner:<image>) that every 100 ms shows the image to each
// camera view's own decoder and presses the view's back button.

#include <QGenericPlugin>
#include <QGuiApplication>
#include <QImage>
#include <QMetaObject>
#include <QObject>
#include <QTimer>
#include <QWindow>

namespace {

class FakeScanner : public QObject
{
public:
    explicit FakeScanner(const QString &imagePath) : m_image(imagePath)
    {
        if (m_image.isNull())
            qWarning("fake scanner: cannot read %s", qPrintable(imagePath));
        connect(&m_timer, &QTimer::timeout, this, &FakeScanner::scan);
        m_timer.start(100);
    }

private:
    void scan()
    {
        const QWindowList windows = QGuiApplication::topLevelWindows();
        for (QWindow *window : windows) {
            const QList<QObject *> objects = window->findChildren<QObject *>();
            for (QObject *object : objects) {
                if (object->inherits("QZXingFilter")) {
                    QObject *decoder = object->property("decoder").value<QObject *>();
                    QString tag;
                    if (decoder)
                        QMetaObject::invokeMethod(decoder, "decodeImage",
                                                  Q_RETURN_ARG(QString, tag),
                                                  Q_ARG(QImage, m_image), Q_ARG(int, -1),
                                                  Q_ARG(int, -1), Q_ARG(bool, false));
                } else if (QString::fromLatin1(object->metaObject()->className())
                               .startsWith(QLatin1String("ToolButton"))) {
                    QMetaObject::invokeMethod(object, "clicked");
                }
            }
        }
    }

    QImage m_image;
    QTimer m_timer;
};

} // namespace

class FakeScannerPlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "fakescanner.json")
public:
    QObject *create(const QString &key, const QString &specification) override
    {
        if (key.compare(QLatin1String("tamberlinfakescanner"), Qt::CaseInsensitive) != 0)
            return nullptr;
        return new FakeScanner(specification);
    }
};

#include "fakescanner.moc"
