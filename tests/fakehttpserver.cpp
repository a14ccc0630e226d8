#include "fakehttpserver.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <sys/socket.h>

namespace kl::telemetry::test {

QByteArray FakeHttpServer::Request::header(const QByteArray &name) const
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return QByteArray();
}

FakeHttpServer::Reply FakeHttpServer::reply(int status, const QByteArray &reason,
                                            const QByteArray &body, const QByteArray &contentType)
{
    Reply reply;
    reply.bytes = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    if (!contentType.isEmpty())
        reply.bytes += "Content-Type: " + contentType + "\r\n";
    reply.bytes += "Content-Length: " + QByteArray::number(body.size()) + "\r\n"
        + "Connection: close\r\n\r\n" + body;
    return reply;
}

FakeHttpServer::Reply FakeHttpServer::json(const QByteArray &body, int status)
{
    return reply(status, status == 201 ? "Created" : "OK", body);
}

FakeHttpServer::Reply FakeHttpServer::redirect(int status, const QByteArray &location)
{
    Reply redirect = reply(status, "Redirect", "[{\"id\":\"a\",\"rev\":\"1-a\"}]");
    redirect.bytes.replace("Connection: close\r\n",
                           "Location: " + location + "\r\nConnection: close\r\n");
    return redirect;
}

FakeHttpServer::Reply FakeHttpServer::stalled(const QByteArray &body)
{
    Reply stalled = json(body);
    stalled.ending = Reply::Stall;
    stalled.cutAt = stalled.bytes.size() - body.size() + body.size() / 2;
    return stalled;
}

FakeHttpServer::FakeHttpServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
    , m_defaultReply(json("[]"))
{
    connect(m_server, &QTcpServer::newConnection, this, &FakeHttpServer::onNewConnection);
}

FakeHttpServer::~FakeHttpServer()
{
    // The sockets die with the server, after this object's members; keep their disconnect
    // handlers away from those.
    for (QTcpSocket *socket : m_connections.keys())
        socket->disconnect(this);
}

bool FakeHttpServer::listen()
{
    return m_server->listen(QHostAddress::LocalHost, 0);
}

quint16 FakeHttpServer::port() const
{
    return m_server->serverPort();
}

QString FakeHttpServer::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void FakeHttpServer::enqueue(const Reply &reply)
{
    m_replies.enqueue(reply);
}

void FakeHttpServer::setDefaultReply(const Reply &reply)
{
    m_defaultReply = reply;
}

QList<QPair<QTcpSocket *, QByteArray>> FakeHttpServer::takeStalled()
{
    QList<QPair<QTcpSocket *, QByteArray>> stalled;
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
        if (it.value().stalled) {
            it.value().stalled = false;
            stalled.append({ it.key(), it.value().rest });
        }
    }
    return stalled;
}

void FakeHttpServer::release()
{
    // Closing may report the disconnection at once, which edits the table; hence the copy.
    for (const auto &connection : takeStalled()) {
        connection.first->write(connection.second);
        connection.first->disconnectFromHost();
    }
}

void FakeHttpServer::reset()
{
    for (const auto &connection : takeStalled()) {
        // A reset rather than an orderly close, which Qt may take for the end of the body
        // whatever Content-Length said.
        const linger reset { 1, 0 };
        setsockopt(int(connection.first->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset,
                   sizeof reset);
        connection.first->abort();
    }
}

quint16 FakeHttpServer::unusedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

void FakeHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        m_connections.insert(socket, Connection());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_connections.remove(socket);
            socket->deleteLater();
        });
    }
}

void FakeHttpServer::onReadyRead(QTcpSocket *socket)
{
    auto connection = m_connections.find(socket);
    if (connection == m_connections.end())
        return;
    connection->buffer += socket->readAll();
    Request request;
    while (takeRequest(connection->buffer, request)) {
        m_requests.append(request);
        answer(socket);
        Q_EMIT requestReceived();
        connection = m_connections.find(socket);
        if (connection == m_connections.end())
            return;
    }
}

// Takes one whole request (headers, and a body of Content-Length bytes) off the front of
// @p buffer; false while it has not arrived completely.
bool FakeHttpServer::takeRequest(QByteArray &buffer, Request &request)
{
    const int headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return false;
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3)
        return false;

    Request parsed;
    parsed.method = requestLine.at(0);
    parsed.target = requestLine.at(1);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon > 0)
            parsed.headers.append(
                { lines.at(i).left(colon).trimmed(), lines.at(i).mid(colon + 1).trimmed() });
    }
    const int length = parsed.header("Content-Length").toInt();
    const int bodyStart = headerEnd + 4;
    if (buffer.size() < bodyStart + length)
        return false;
    parsed.body = buffer.mid(bodyStart, length);
    buffer.remove(0, bodyStart + length);
    request = parsed;
    return true;
}

void FakeHttpServer::answer(QTcpSocket *socket)
{
    const Reply reply = m_replies.isEmpty() ? m_defaultReply : m_replies.dequeue();
    switch (reply.ending) {
    case Reply::Complete:
        socket->write(reply.bytes);
        socket->disconnectFromHost();
        break;
    case Reply::Stall:
        socket->write(reply.bytes.left(reply.cutAt));
        m_connections[socket].stalled = true;
        m_connections[socket].rest = reply.bytes.mid(reply.cutAt);
        break;
    }
}

} // namespace kl::telemetry::test
