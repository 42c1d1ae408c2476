// The baseline of the bridge round trip: the same page in a bare QtWebEngine
// program whose "shellInterface" is a trivial QWebChannel object answering
// initialize at once. Arguments: the page's file path. Exits with the
// failures the page reports.

#include <QApplication>
#include <QUrl>
#include <QVariantMap>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineSettings>
#include <QWebEngineView>

class Trivial : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE void initialize(const QString &uuid)
    {
        emit invokeJSCall(QStringLiteral("initializeDone"), {{QStringLiteral("uuid"), uuid}});
    }
    Q_INVOKABLE void exitApplication(const QString &, int failures) { qApp->exit(failures ? 1 : 0); }

signals:
    void invokeJSCall(const QString &name, const QVariantMap &data);
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    Trivial shell;
    QWebChannel channel;
    channel.registerObject(QStringLiteral("shellInterface"), &shell);
    QWebEngineView view;
    view.page()->setWebChannel(&channel);
    // The page reports to the bench's local server from a file:// page.
    view.settings()->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, true);
    view.resize(1024, 768);
    view.show();
    view.load(QUrl::fromLocalFile(QString::fromLocal8Bit(argv[1])));
    return app.exec();
}

#include "bridge_roundtrip_baseline.moc"
