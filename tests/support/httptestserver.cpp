#include "httptestserver.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>

namespace ShellTest {

namespace {

const qint64 kPeriod = 251;
// A whole number of periods, so any offset maps into one block.
const QByteArray &block()
{
    static const QByteArray b = [] {
        QByteArray out(kPeriod * 4096, Qt::Uninitialized);
        for (int i = 0; i < out.size(); ++i)
            out[i] = char(i % kPeriod);
        return out;
    }();
    return b;
}

QByteArray head(int code, const QList<QByteArray> &headers)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(code) + " Status\r\n"
                     "Connection: close\r\nAccess-Control-Allow-Origin: *\r\n"
                     "Access-Control-Allow-Headers: *\r\n";
    for (const QByteArray &h : headers)
        out += h + "\r\n";
    return out + "\r\n";
}

// Reads what has arrived on socket; true once a whole request is in.
bool readHttpRequest(QTcpSocket *socket, HttpRequest *request)
{
    const QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    socket->setProperty("buffer", buffer);
    const int headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return false;
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    int length = 0;
    for (const QByteArray &line : lines.mid(1)) {
        const int colon = line.indexOf(':');
        const QByteArray name = line.left(colon).trimmed().toLower();
        if (name == "content-length")
            length = line.mid(colon + 1).trimmed().toInt();
        else if (name == "content-type")
            request->contentType = line.mid(colon + 1).trimmed();
    }
    if (buffer.size() < headerEnd + 4 + length)
        return false;
    socket->setProperty("buffer", buffer.mid(headerEnd + 4 + length));
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    request->method = first.value(0);
    request->target = QUrl(QString::fromLatin1(first.value(1)));
    request->body = buffer.mid(headerEnd + 4, length);
    return true;
}

} // namespace

void writeHttpAnswer(QTcpSocket *socket, int code, const QByteArray &body, const QByteArray &type,
                     QList<QByteArray> extra)
{
    if (code != 304)
        extra << "Content-Type: " + type << "Content-Length: " + QByteArray::number(body.size());
    socket->write(head(code, extra));
    if (code != 304)
        socket->write(body);
    socket->disconnectFromHost();
}

HttpTestServer::HttpTestServer(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &HttpTestServer::onConnection);
}

bool HttpTestServer::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

QString HttpTestServer::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort());
}

QByteArray HttpTestServer::pattern(qint64 size)
{
    QByteArray out;
    out.reserve(int(size));
    while (out.size() < size)
        out += block().left(int(qMin<qint64>(block().size(), size - out.size())));
    return out;
}

void HttpTestServer::onConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            HttpRequest request;
            if (!socket->property("handled").toBool() && readHttpRequest(socket, &request)) {
                socket->setProperty("handled", true);
                handle(socket, request);
            }
        });
    }
}

void HttpTestServer::handle(QTcpSocket *socket, const HttpRequest &request)
{
    const QUrlQuery query(request.target);
    const QString path = request.target.path();
    auto number = [&query](const char *name) {
        return query.queryItemValue(QString::fromLatin1(name)).toLongLong();
    };
    if (path == QLatin1String("/echo")) {
        const QJsonObject echo{{"method", QString::fromLatin1(request.method)},
                               {"body", QString::fromUtf8(request.body)},
                               {"contentType", QString::fromLatin1(request.contentType)}};
        writeHttpAnswer(socket, 200, QJsonDocument(echo).toJson(QJsonDocument::Compact),
                        "application/json");
    } else if (path == QLatin1String("/status")) {
        writeHttpAnswer(socket, int(number("code")),
                        query.queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded).toUtf8());
    } else if (path == QLatin1String("/cookies")) {
        writeHttpAnswer(socket, 200, "[1,2]", "application/json",
                        {"Set-Cookie: a=1", "Set-Cookie: a=2"});
    } else if (path == QLatin1String("/verify")) {
        QFile file(query.queryItemValue(QStringLiteral("path"), QUrl::FullyDecoded));
        const bool same = file.open(QIODevice::ReadOnly) && file.readAll() == pattern(number("size"));
        writeHttpAnswer(socket, same ? 200 : 409, same ? "same" : "differs");
    } else if (path == QLatin1String("/redirect")) {
        const QString to = query.queryItemValue(QStringLiteral("to"), QUrl::FullyDecoded);
        const qint64 hops = number("hops");
        const QByteArray location = to.isEmpty() ? request.target.toEncoded()
            : hops > 1 ? "/redirect?hops=" + QByteArray::number(hops - 1) + "&to=" + QUrl::toPercentEncoding(to)
                       : to.toUtf8();
        writeHttpAnswer(socket, to.isEmpty() || hops > 1 ? 301 : 302, "moved", "text/plain",
                        {"Location: " + location});
    } else if (path == QLatin1String("/bytes") || path == QLatin1String("/stall")) {
        const bool chunked = number("chunked") != 0;
        const qint64 size = number("size");
        socket->write(head(200, {"Content-Type: application/octet-stream",
                                 chunked ? QByteArray("Transfer-Encoding: chunked")
                                         : "Content-Length: " + QByteArray::number(size)}));
        const bool stall = path == QLatin1String("/stall");
        socket->setProperty("chunked", chunked);
        socket->setProperty("offset", qint64(0));
        socket->setProperty("end", stall ? number("first") : size);
        socket->setProperty("close", !stall);
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { stream(socket); });
        stream(socket);
    } else {
        writeHttpAnswer(socket, 404, "no such route");
    }
}

// Writes the next pieces while little is queued: large bodies never sit in memory.
void HttpTestServer::stream(QTcpSocket *socket)
{
    const qint64 end = socket->property("end").toLongLong();
    qint64 offset = socket->property("offset").toLongLong();
    const bool chunked = socket->property("chunked").toBool();
    while (offset < end && socket->bytesToWrite() < 1024 * 1024) {
        const qint64 at = offset % block().size();
        const int n = int(qMin<qint64>(qMin<qint64>(256 * 1024, block().size() - at), end - offset));
        if (chunked)
            socket->write(QByteArray::number(n, 16) + "\r\n");
        socket->write(block().constData() + at, n);
        if (chunked)
            socket->write("\r\n");
        offset += n;
    }
    socket->setProperty("offset", offset);
    if (offset >= end && socket->property("close").toBool()) {
        socket->setProperty("close", false);
        if (chunked)
            socket->write("0\r\n\r\n");
        socket->disconnectFromHost();
    }
}

} // namespace ShellTest
