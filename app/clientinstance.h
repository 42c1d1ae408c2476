#pragma once

#include <QByteArray>
#include <QLocalSocket>
#include <QObject>
#include <QTimer>

class QSingleInstancePrivate;

// The master's side of one connection from another instance: reads one
// argument frame, answers "ACK" and hands the arguments on. Owns the socket.
class ClientInstance : public QObject
{
    Q_OBJECT
public:
    ClientInstance(QLocalSocket *socket, QSingleInstancePrivate *parent);
    ~ClientInstance() override;

private slots:
    void newData();
    void socketError(QLocalSocket::LocalSocketError error);

private:
    void drop();

    QSingleInstancePrivate *m_private;
    QLocalSocket *m_socket;
    qint32 m_size = -1;
    QByteArray m_buffer;
    // Bounds how long a connection may hold the master's resources: first
    // until its frame is complete, then until it closes after "ACK".
    QTimer m_timer;
    bool m_done = false;
};
