#include "cnetwork.h"

#include "cnetworkresponses.h"
#include "cstatuscheck.h"

#include <QBuffer>
#include <QMetaEnum>
#include <QNetworkReply>
#include <QSslError>

CNetwork::CNetwork(QSharedPointer<IStatusCheck> statusCheck)
    : m_statusCheck(statusCheck ? statusCheck : QSharedPointer<IStatusCheck>(new CStatusCheck))
{
    connect(m_statusCheck.data(), &IStatusCheck::statusChange, this, &CNetwork::statusChange);
}

CNetwork::~CNetwork() = default;

int CNetwork::runningRequests() const
{
    return m_accessManager ? m_accessManager->findChildren<QNetworkReply *>(
                                 QString(), Qt::FindDirectChildrenOnly).size()
                           : 0;
}

// A process's first access manager loads the network bearer plugins, which
// start-up does not need: it is made on the first request.
QNetworkAccessManager *CNetwork::accessManager()
{
    if (!m_accessManager)
        m_accessManager = new QNetworkAccessManager(this);
    return m_accessManager;
}

QSharedPointer<Task::ITask> CNetwork::checkStatus()
{
    m_statusCheck->watch(); // here, on the owner's thread; the task asks from the pool
    const QSharedPointer<IStatusCheck> check = m_statusCheck;
    return Task::onPool([check]() -> QSharedPointer<IResponse> {
        return QSharedPointer<IResponse>(new CNetworkOnlineResponse(check->isOnline()));
    });
}

QSharedPointer<Task::ITask> CNetwork::ajax(AjaxPayload payload)
{
    return Task::onStart(this, [this, payload](const QSharedPointer<Task::CTask> &task) {
        send(payload, task);
    });
}

void CNetwork::send(const AjaxPayload &payload, const QSharedPointer<Task::CTask> &task)
{
    if (payload.method < 0) {
        // An empty or misspelt method would go out as a request with that verb.
        task->reject(QSharedPointer<IResponse>(new CErrorResponse(
            -1, QStringLiteral("unsupported HTTP method \"%1\"").arg(payload.methodName))));
        return;
    }

    const QNetworkRequest &request = *payload.request;
    QSharedPointer<QBuffer> buffer;
    QNetworkReply *reply = nullptr;
    switch (payload.method) {
    case AjaxPayload::POST:
        reply = accessManager()->post(request, payload.body);
        break;
    case AjaxPayload::HEAD:
        reply = accessManager()->head(request);
        break;
    default: {
        buffer.reset(new QBuffer);
        buffer->setData(payload.body);
        buffer->open(QIODevice::ReadOnly);
        const QByteArray verb = QMetaEnum::fromType<AjaxPayload::Method>().valueToKey(payload.method);
        reply = accessManager()->sendCustomRequest(request, verb, buffer.data());
        break;
    }
    }

    // The handlers hold the task and the body; both go with the reply, which
    // is released as soon as it has reported.
    connect(reply, &QNetworkReply::finished, reply, [reply, task, buffer] {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QByteArray body = reply->readAll();
        if ((status < 200 || status >= 300) && status != 304)
            task->reject(QSharedPointer<IResponse>(
                new CErrorResponse(status, QString::fromUtf8(body))));
        else
            task->resolve(QSharedPointer<IResponse>(
                new CNetworkAjaxResponse(status, body, reply->rawHeaderPairs())));
        reply->deleteLater();
    }, Qt::DirectConnection);
    connect(reply, &QNetworkReply::errorOccurred, reply,
            [reply, task](QNetworkReply::NetworkError code) {
                if (reply->isFinished())
                    task->reject(QSharedPointer<IResponse>(new CErrorResponse(code, QString())));
            }, Qt::DirectConnection);
    connect(reply, &QNetworkReply::sslErrors, reply, [reply, task](const QList<QSslError> &errors) {
        if (!reply->isFinished())
            return;
        QString message;
        for (const QSslError &e : errors)
            message += e.errorString();
        task->reject(QSharedPointer<IResponse>(new CErrorResponse(-1, message)));
    }, Qt::DirectConnection);
}
