#pragma once

// HTTP/1.1 on 127.0.0.1 for network tests; every answer closes and allows CORS.
//   /echo                      200 JSON {method, body, contentType}
//   /status?code=N&body=B      status N with body B (none for 304)
//   /cookies                   two Set-Cookie headers (a=1, then a=2), body [1,2]
//   /bytes?size=N[&chunked=1]  N bytes of pattern(), with Content-Length or chunked
//   /stall?size=N&first=M      Content-Length N, the first M bytes, then silence
//   /verify?path=P&size=N      200 "same" when the file P holds pattern(N), else 409
//   /redirect?hops=N&to=U      301s down to hops=1, whose 302 leads to U; no U: 301 to itself

#include <QByteArray>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

namespace ShellTest {

struct HttpRequest
{
    QByteArray method;
    QUrl target;
    QByteArray contentType;
    QByteArray body;
};
// Writes a whole answer and closes the connection (no body for 304).
void writeHttpAnswer(QTcpSocket *socket, int code, const QByteArray &body = {},
                     const QByteArray &type = "text/plain", QList<QByteArray> extra = {});

class HttpTestServer : public QObject
{
    Q_OBJECT
public:
    explicit HttpTestServer(QObject *parent = nullptr);
    bool listen();
    QString url() const; // http://127.0.0.1:<port>
    // The content of /bytes: byte i is i % 251, so a lost or moved piece shows.
    static QByteArray pattern(qint64 size);

protected:
    // Answers one request; the connection is the server's until it closes.
    virtual void handle(QTcpSocket *socket, const HttpRequest &request);

private:
    void onConnection();
    void stream(QTcpSocket *socket);
    QTcpServer m_server;
};

} // namespace ShellTest
