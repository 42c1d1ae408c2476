#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>

// Fetches one URL at a time; onFinish(QString) carries the path of the file
// once it is in place.
class IFileDownloader : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    virtual void download(QUrl url) = 0;
    // True from the first received data of a download to its end.
    virtual bool isBusy() = 0;
    virtual void abort() = 0;

signals:
    void onStart(qlonglong total);
    void onProgress(qlonglong total, qlonglong progress);
    void onFinish(QByteArray data);
    void onFinish(QString filePath);
    void onError(QNetworkReply::NetworkError code);
    void onAbort();
};
