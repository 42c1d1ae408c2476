#pragma once

#include "app/qsingleinstance.h"

#include <QByteArray>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>

class QLocalServer;
class QLockFile;
class QTimer;

Q_DECLARE_LOGGING_CATEGORY(singleInstanceLog)

class QSingleInstancePrivate : public QObject
{
    Q_OBJECT
public:
    // Largest argument payload a master accepts: a command line is a few
    // kilobytes, anything near this is garbage or hostile.
    static constexpr quint32 MaxPayloadSize = 1024 * 1024;
    static constexpr int DefaultTimeout = 5000;
    // What the log keeps of another instance's arguments: the first
    // LoggedArguments of them, each cut after LoggedArgumentChars characters.
    // A peer may send a megabyte per connection; the log must not grow by it.
    static constexpr int LoggedArguments = 8;
    static constexpr int LoggedArgumentChars = 200;
    // The log text for args: Qt's debug form of the list, then, when
    // anything was cut, the count of arguments.
    static QString describeArguments(const QStringList &args);

    explicit QSingleInstancePrivate(QSingleInstance *q);
    ~QSingleInstancePrivate() override;

    static QSingleInstancePrivate *get(QSingleInstance *q) { return q->d; }

    // "qsingleinstance-" + up to 8 name characters + "-" + checksum of
    // organisation and name, then "-" + session unless global.
    static QString makeInstanceId(const QString &organization, const QString &application,
                                  bool global, const QString &session);
    // Length prefix (4 bytes, little-endian) and the arguments joined by "\n".
    static QByteArray frame(const QStringList &arguments);
    // This process's logon session (see sessionid.h).
    static QString sessionId();

    void resetLockFile();

    QSingleInstance *q;
    QString instanceId;
    QString lockFilePath;
    QLocalServer *server = nullptr;
    QLockFile *lock = nullptr;
    bool isMaster = false;
    bool autoRecovery = false;
    bool global = false;
    bool closeOnExit = false;
    bool isRunning = false;
    std::function<int()> startup = [] { return 0; };
    std::function<void()> notify;
    QLocalSocket *client = nullptr;
    QTimer *connectTimer = nullptr;

    // Client: how long to wait for progress. Master: how long a connection may
    // take to deliver its frame, and how long it stays open after "ACK".
    int timeout = DefaultTimeout;
    // Client: pause between connection attempts while the master is not
    // listening yet.
    int retryInterval = 50;

public slots:
    void startInstance();
    void recover(int exitCode);
    bool recoverAction();
    void sendArgs();
    void clientConnected();
    void performSend(const QStringList &arguments);
    void sendResultReady();
    void clientError(QLocalSocket::LocalSocketError error);
    void newConnection();
    void newArgsReceived(const QStringList &args);

private:
    void connectToMaster();
    void connectTimedOut();
    static int exitCodeFor(QLocalSocket::LocalSocketError error);
    void dropClientSocket();
    bool tryRecovery();
    void becomeMasterAfterRecovery();

    bool m_connected = false;
    // Last refused or missing-server error, retried until the connect timer
    // expires and then reported as the failure.
    bool m_hasConnectError = false;
    QLocalSocket::LocalSocketError m_connectError = QLocalSocket::UnknownSocketError;
    QString m_connectErrorString;
};
