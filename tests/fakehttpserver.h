#pragma once

#include <QtNetwork>

namespace kl::telemetry::test {

// A scripted HTTP/1.1 server on 127.0.0.1 for the network tests: it records every request it
// receives and answers each with the next queued reply, or with the default reply when none is
// queued. Lives in the thread that runs the test's event loop.
class FakeHttpServer : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray method;
        QByteArray target; // as on the request line: path and query
        QList<QPair<QByteArray, QByteArray>> headers; // in the order received
        QByteArray body;
    };

    struct Reply
    {
        enum Ending {
            Complete, // all bytes, then the connection is closed
            Stall, // the first cutAt bytes, then silence until release()
        };
        QByteArray bytes;
        Ending ending = Complete;
        int cutAt = 0;
    };

    // A complete reply with the given status line parts, body and Content-Length.
    static Reply reply(int status, const QByteArray &reason, const QByteArray &body,
                       const QByteArray &contentType = "application/json");
    // 201 Created (or @p status) with a JSON body.
    static Reply json(const QByteArray &body, int status = 201);
    // Headers and half of @p body, then silence until release().
    static Reply stalled(const QByteArray &body);

    explicit FakeHttpServer(QObject *parent = nullptr);
    // Listens on a free port of 127.0.0.1; false when that fails.
    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    // "http://127.0.0.1:<port>", without a trailing slash.
    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()); }
    void enqueue(const Reply &reply) { m_replies.enqueue(reply); }
    void setDefaultReply(const Reply &reply) { m_defaultReply = reply; }
    QVector<Request> requests() const { return m_requests; }
    int requestCount() const { return m_requests.size(); }
    // Sends the rest of every stalled reply and closes those connections.
    void release();

protected:
    // Answers @p request on @p socket; by default with the next scripted reply.
    virtual void answer(const Request &request, QTcpSocket *socket);

private:
    void serve(QTcpSocket *socket);
    void answerRequest(QTcpSocket *socket, QByteArray &buffer);

    QTcpServer m_server;
    QVector<Request> m_requests;
    QQueue<Reply> m_replies;
    Reply m_defaultReply;
    QList<QPair<QPointer<QTcpSocket>, QByteArray>> m_stalled; // socket, what its reply still owes
};

} // namespace kl::telemetry::test

Q_DECLARE_METATYPE(kl::telemetry::test::FakeHttpServer::Reply)
