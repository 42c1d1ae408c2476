#include "app/qsingleinstance_p.h"

#include "app/clientinstance.h"
#include "app/sessionid.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLockFile>
#include <QRegularExpression>
#include <QTimer>
#include <QtEndian>

Q_LOGGING_CATEGORY(singleInstanceLog, "QSingleInstance")

QSingleInstancePrivate::QSingleInstancePrivate(QSingleInstance *q) : QObject(q), q(q) {}

QSingleInstancePrivate::~QSingleInstancePrivate()
{
    // Server first: closing it removes the socket file by name, which must
    // not happen after the lock is free and a new master may have bound it.
    delete server;
    server = nullptr;
    // QLockFile's destructor releases a lock that is still held.
    delete lock;
}

QString QSingleInstancePrivate::makeInstanceId(const QString &organization,
                                               const QString &application, bool global,
                                               const QString &session)
{
    static const QRegularExpression notAllowed(QStringLiteral("[^a-zA-Z0-9_]"));
    QString name = application.toLower();
    name.remove(notAllowed);
    name.truncate(8);

    const QByteArray key = (organization + QLatin1Char('_') + application).toUtf8();
    const quint16 checksum = qChecksum(key.constData(), uint(key.size()));

    QString id = QStringLiteral("qsingleinstance-") + name + QLatin1Char('-')
        + QString::number(checksum, 16);
    if (!global)
        id += QLatin1Char('-') + session;
    return id;
}

QByteArray QSingleInstancePrivate::frame(const QStringList &arguments)
{
    const QByteArray payload = arguments.join(QLatin1Char('\n')).toUtf8();
    QByteArray out(4, Qt::Uninitialized);
    qToLittleEndian<quint32>(quint32(payload.size()), out.data());
    out.append(payload);
    return out;
}

QString QSingleInstancePrivate::sessionId()
{
    return logonSessionId();
}

void QSingleInstancePrivate::resetLockFile()
{
    lockFilePath = QDir::temp().absoluteFilePath(instanceId + QStringLiteral(".lock"));
    delete lock;
    lock = new QLockFile(lockFilePath);
    // No age limit: only the lock of a process that no longer runs is stale.
    lock->setStaleLockTime(0);
}

void QSingleInstancePrivate::startInstance()
{
    if (!isMaster)
        isMaster = lock->tryLock(0);
    if (!isMaster)
        return;

    server = new QLocalServer(this);
    server->setSocketOptions(global ? QLocalServer::WorldAccessOption
                                    : QLocalServer::UserAccessOption);
    if (!server->listen(instanceId)
        && server->serverError() == QAbstractSocket::AddressInUseError) {
        // We hold the lock, so the name belongs to a master that is gone.
        QLocalServer::removeServer(instanceId);
        server->listen(instanceId);
    }
    if (!server->isListening()) {
        qCWarning(singleInstanceLog) << "Failed to listen for other instances with error:"
                                     << server->errorString();
        return;
    }
    connect(server, &QLocalServer::newConnection, this, &QSingleInstancePrivate::newConnection);
    qCInfo(singleInstanceLog) << "Master instance listening as" << instanceId;
}

// --- client side -----------------------------------------------------------

void QSingleInstancePrivate::sendArgs()
{
    connectTimer = new QTimer(this);
    connectTimer->setSingleShot(true);
    connectTimer->setInterval(timeout);
    connect(connectTimer, &QTimer::timeout, this, &QSingleInstancePrivate::connectTimedOut);
    connectTimer->start();
    connectToMaster();
}

void QSingleInstancePrivate::connectToMaster()
{
    client = new QLocalSocket(this);
    // Everything is handled on a later event-loop pass: connectToServer may
    // report an error before the event loop runs, when exit() would be lost.
    // Events of a socket that has since been replaced are ignored.
    const QPointer<QLocalSocket> socket(client);
    connect(client, &QLocalSocket::connected, this, [this, socket] {
        QMetaObject::invokeMethod(
            this, [this, socket] { if (socket && socket == client) clientConnected(); },
            Qt::QueuedConnection);
    });
    connect(client, &QLocalSocket::readyRead, this, [this, socket] {
        QMetaObject::invokeMethod(
            this, [this, socket] { if (socket && socket == client) sendResultReady(); },
            Qt::QueuedConnection);
    });
    connect(client, &QLocalSocket::errorOccurred, this,
            [this, socket](QLocalSocket::LocalSocketError error) {
                QMetaObject::invokeMethod(
                    this,
                    [this, socket, error] { if (socket && socket == client) clientError(error); },
                    Qt::QueuedConnection);
            });
    client->connectToServer(instanceId, QIODevice::ReadWrite);
}

void QSingleInstancePrivate::clientConnected()
{
    m_connected = true;
    m_hasConnectError = false;
    if (connectTimer)
        connectTimer->start();
    client->write(frame(QCoreApplication::arguments()));
}

void QSingleInstancePrivate::performSend(const QStringList &arguments)
{
    if (client)
        client->write(frame(arguments));
}

void QSingleInstancePrivate::sendResultReady()
{
    if (client->bytesAvailable() < 3) {
        if (connectTimer)
            connectTimer->start();
        return;
    }
    const QByteArray reply = client->read(3);
    if (reply == "ACK") {
        if (connectTimer)
            connectTimer->stop();
        dropClientSocket();
        QCoreApplication::quit();
        return;
    }
    qCWarning(singleInstanceLog) << "Master didn't ackknowledge the sent arguments";
    recover(-1);
}

void QSingleInstancePrivate::clientError(QLocalSocket::LocalSocketError error)
{
    const bool masterNotListening = error == QLocalSocket::ServerNotFoundError
        || error == QLocalSocket::ConnectionRefusedError;
    if (!m_connected && masterNotListening && connectTimer && connectTimer->isActive()) {
        // The lock holder may still be setting up its server, or replacing
        // the socket of a master that died: try again until the deadline.
        m_hasConnectError = true;
        m_connectError = error;
        m_connectErrorString = client->errorString();
        dropClientSocket();
        QTimer::singleShot(retryInterval, this, [this] {
            if (!client && connectTimer && connectTimer->isActive())
                connectToMaster();
        });
        return;
    }
    qCWarning(singleInstanceLog) << "Failed to transfer arguments to master with error:"
                                 << client->errorString();
    recover(exitCodeFor(error));
}

void QSingleInstancePrivate::connectTimedOut()
{
    if (m_hasConnectError && !m_connected) {
        qCWarning(singleInstanceLog) << "Failed to transfer arguments to master with error:"
                                     << m_connectErrorString;
        recover(exitCodeFor(m_connectError));
        return;
    }
    qCWarning(singleInstanceLog) << "Master did not respond in time";
    recover(5);
}

int QSingleInstancePrivate::exitCodeFor(QLocalSocket::LocalSocketError error)
{
    // The exit code is the socket error's number, but "connection refused"
    // is number 0 and would read as a successful hand-over.
    return error == QLocalSocket::ConnectionRefusedError ? int(QLocalSocket::ConnectionError)
                                                         : int(error);
}

void QSingleInstancePrivate::dropClientSocket()
{
    if (!client)
        return;
    client->disconnect(this);
    client->abort();
    client->deleteLater();
    client = nullptr;
}

void QSingleInstancePrivate::recover(int exitCode)
{
    if (connectTimer) {
        connectTimer->stop();
        connectTimer->deleteLater();
        connectTimer = nullptr;
    }
    dropClientSocket();
    if (!autoRecovery) {
        QCoreApplication::exit(exitCode);
        return;
    }
    if (!tryRecovery()) {
        QCoreApplication::exit(exitCode);
        return;
    }
    becomeMasterAfterRecovery();
}

bool QSingleInstancePrivate::recoverAction()
{
    dropClientSocket();
    if (!autoRecovery)
        return false;
    return tryRecovery();
}

bool QSingleInstancePrivate::tryRecovery()
{
    qCInfo(singleInstanceLog) << "Trying to create a new master instance...";
    // removeStaleLockFile refuses a lock that a live process still holds, so
    // a master that is merely slow keeps its place.
    const bool lockInTheWay = QFile::exists(lockFilePath) && !lock->removeStaleLockFile();
    if (!lockInTheWay)
        startInstance();
    if (lockInTheWay || !isMaster) {
        qCWarning(singleInstanceLog)
            << "Failed to create new master instance. The application cannot recover!";
        return false;
    }
    qCInfo(singleInstanceLog) << "Recovery Successful - This instance is now the master.";
    return true;
}

void QSingleInstancePrivate::becomeMasterAfterRecovery()
{
    const int result = startup ? startup() : 0;
    if (result == 0) {
        if (closeOnExit)
            connect(qApp, &QCoreApplication::aboutToQuit, q, &QSingleInstance::closeInstance,
                    Qt::UniqueConnection);
        return;
    }
    if (closeOnExit)
        q->closeInstance();
    // The event loop of the former client is still running; without this the
    // process would stay alive with nothing started.
    QCoreApplication::exit(result);
}

// --- master side -----------------------------------------------------------

void QSingleInstancePrivate::newConnection()
{
    while (server && server->hasPendingConnections()) {
        if (QLocalSocket *socket = server->nextPendingConnection())
            new ClientInstance(socket, this);
    }
}

void QSingleInstancePrivate::newArgsReceived(const QStringList &args)
{
    qCInfo(singleInstanceLog).noquote()
        << "Received arguments from another instance:" << describeArguments(args);
    if (notify)
        notify();
    QMetaObject::invokeMethod(
        q, [q = q, args] { emit q->instanceMessage(args); }, Qt::QueuedConnection);
}

QString QSingleInstancePrivate::describeArguments(const QStringList &args)
{
    QStringList shown = args.mid(0, LoggedArguments);
    bool cut = shown.size() < args.size();
    for (QString &argument : shown) {
        if (argument.size() > LoggedArgumentChars) {
            argument = argument.left(LoggedArgumentChars) + QStringLiteral("...");
            cut = true;
        }
    }
    QString text;
    QDebug(&text) << shown;
    text = text.trimmed();
    if (cut)
        text += QStringLiteral(" - %1 arguments, shortened").arg(args.size());
    return text;
}
