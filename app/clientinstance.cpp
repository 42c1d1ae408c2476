#include "app/clientinstance.h"

#include "app/qsingleinstance_p.h"

#include <QtEndian>

ClientInstance::ClientInstance(QLocalSocket *socket, QSingleInstancePrivate *parent)
    : QObject(parent), m_private(parent), m_socket(socket)
{
    // The server deletes its sockets with itself; this object may outlive it.
    m_socket->setParent(this);
    connect(m_socket, &QLocalSocket::readyRead, this, &ClientInstance::newData);
    connect(m_socket, &QLocalSocket::errorOccurred, this, &ClientInstance::socketError);
    connect(m_socket, &QLocalSocket::disconnected, this, &ClientInstance::deleteLater);

    m_timer.setSingleShot(true);
    m_timer.setInterval(m_private->timeout);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        if (m_done) {
            m_socket->disconnectFromServer();
            return;
        }
        qCWarning(singleInstanceLog)
            << "Client did not send its arguments in time - connection dropped";
        drop();
    });
    m_timer.start();

    // Data may have arrived before the connection was picked up.
    if (m_socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &ClientInstance::newData, Qt::QueuedConnection);
}

ClientInstance::~ClientInstance()
{
    m_socket->disconnect(this);
    if (m_socket->isOpen())
        m_socket->close();
}

void ClientInstance::newData()
{
    if (m_done) {
        // One frame per connection; whatever follows it is not arguments.
        m_socket->readAll();
        return;
    }

    if (m_size == -1) {
        if (m_socket->bytesAvailable() < 4)
            return;
        char header[4];
        if (m_socket->read(header, 4) != 4) {
            qCWarning(singleInstanceLog) << "Client lost. Client send invalid data";
            drop();
            return;
        }
        const quint32 size = qFromLittleEndian<quint32>(header);
        if (size > QSingleInstancePrivate::MaxPayloadSize) {
            // Never allocate what a peer claims: drop it, keep serving others.
            qCWarning(singleInstanceLog).nospace()
                << "Client announced " << size << " bytes of arguments, more than "
                << QSingleInstancePrivate::MaxPayloadSize << " - connection dropped";
            drop();
            return;
        }
        m_size = qint32(size);
        m_buffer.reserve(m_size);
    }

    m_buffer.append(m_socket->readAll());
    if (m_buffer.size() < m_size)
        return;

    m_done = true;
    const QStringList arguments = QString::fromUtf8(m_buffer).split(QLatin1Char('\n'));
    m_buffer.clear();
    m_socket->write("ACK", 3);
    m_socket->flush();
    // The client closes once it has read "ACK"; one that does not is closed
    // from here.
    m_timer.start();
    m_private->newArgsReceived(arguments);
}

void ClientInstance::socketError(QLocalSocket::LocalSocketError error)
{
    if (error == QLocalSocket::PeerClosedError)
        return;
    qCWarning(singleInstanceLog) << "Failed to receive arguments from client with error:"
                                 << m_socket->errorString();
    deleteLater();
}

void ClientInstance::drop()
{
    m_timer.stop();
    m_socket->disconnect(this);
    m_socket->abort();
    deleteLater();
}
