#include "fakehttpserver.h"

namespace kl::telemetry::test {

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

FakeHttpServer::Reply FakeHttpServer::stalled(const QByteArray &body)
{
    Reply stalled = json(body);
    stalled.ending = Reply::Stall;
    stalled.cutAt = stalled.bytes.size() - body.size() + body.size() / 2;
    return stalled;
}

FakeHttpServer::FakeHttpServer(QObject *parent)
    : QObject(parent)
    , m_defaultReply(json("[]"))
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection())
            serve(socket);
    });
}

void FakeHttpServer::release()
{
    for (const auto &stalled : std::exchange(m_stalled, {})) {
        if (!stalled.first)
            continue;
        stalled.first->write(stalled.second);
        stalled.first->disconnectFromHost();
    }
}

void FakeHttpServer::serve(QTcpSocket *socket)
{
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer = QByteArray()]() mutable {
        buffer += socket->readAll();
        answerRequest(socket, buffer);
    });
}

// Answers the request in @p buffer once it has arrived whole (headers, and a body of
// Content-Length bytes); every reply ends its connection.
void FakeHttpServer::answerRequest(QTcpSocket *socket, QByteArray &buffer)
{
    const int headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    Request request { requestLine.value(0), requestLine.value(1), {}, {} };
    int length = 0;
    for (const QByteArray &line : lines.mid(1)) {
        const int colon = line.indexOf(':');
        request.headers.append({ line.left(colon).trimmed(), line.mid(colon + 1).trimmed() });
        if (request.headers.last().first.compare("Content-Length", Qt::CaseInsensitive) == 0)
            length = request.headers.last().second.toInt();
    }
    if (buffer.size() < headerEnd + 4 + length)
        return;
    request.body = buffer.mid(headerEnd + 4, length);
    buffer.remove(0, headerEnd + 4 + length);
    m_requests.append(request);
    answer(request, socket);
}

void FakeHttpServer::answer(const Request &, QTcpSocket *socket)
{
    const Reply reply = m_replies.isEmpty() ? m_defaultReply : m_replies.dequeue();
    if (reply.ending == Reply::Stall) {
        socket->write(reply.bytes.left(reply.cutAt));
        m_stalled.append({ socket, reply.bytes.mid(reply.cutAt) });
        return;
    }
    socket->write(reply.bytes);
    socket->disconnectFromHost();
}

} // namespace kl::telemetry::test
