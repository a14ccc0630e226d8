#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QQueue>
#include <QVector>

class QTcpServer;
class QTcpSocket;

namespace kl::telemetry::test {

/**
 * A scripted HTTP/1.1 server on 127.0.0.1 for the network tests: it records every request it
 * receives and answers each with the next canned reply, or with the default reply when none is
 * queued. Lives in the thread that runs the test's event loop.
 */
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

        /// The value of the first header named @p name (case-insensitive); empty if none.
        QByteArray header(const QByteArray &name) const;
    };

    struct Reply
    {
        enum Ending {
            Complete, // all bytes, then the connection is closed
            Stall, // the first cutAt bytes, then silence until release() or reset()
        };
        QByteArray bytes;
        Ending ending = Complete;
        int cutAt = 0;
    };

    /// A complete reply with the given status line parts, body and Content-Length.
    static Reply reply(int status, const QByteArray &reason, const QByteArray &body,
                       const QByteArray &contentType = "application/json");
    /// 201 Created with a JSON body.
    static Reply json(const QByteArray &body, int status = 201);
    /// A redirect to @p location, whose body is a JSON array that must not be read.
    static Reply redirect(int status, const QByteArray &location);
    /// Headers and half of @p body, then silence until release() or reset().
    static Reply stalled(const QByteArray &body);

    explicit FakeHttpServer(QObject *parent = nullptr);
    ~FakeHttpServer() override;

    /// Listens on a free port of 127.0.0.1; false when that fails.
    bool listen();
    quint16 port() const;
    /// "http://127.0.0.1:<port>", without a trailing slash.
    QString url() const;

    void enqueue(const Reply &reply);
    void setDefaultReply(const Reply &reply);

    QVector<Request> requests() const { return m_requests; }
    int requestCount() const { return m_requests.size(); }
    /// Sends the rest of every stalled reply and closes those connections.
    void release();
    /// Resets every connection whose reply is stalled, so that it ends mid-reply.
    void reset();
    /// Connections that are still open.
    int openConnections() const { return m_connections.size(); }

    /// A port of 127.0.0.1 on which nothing listens, so that connecting is refused.
    static quint16 unusedPort();

Q_SIGNALS:
    void requestReceived();

private:
    struct Connection
    {
        QByteArray buffer;
        bool stalled = false;
        QByteArray rest; // what a stalled reply still owes
    };

    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    bool takeRequest(QByteArray &buffer, Request &request);
    void answer(QTcpSocket *socket);
    QList<QPair<QTcpSocket *, QByteArray>> takeStalled();

    QTcpServer *m_server;
    QHash<QTcpSocket *, Connection> m_connections;
    QVector<Request> m_requests;
    QQueue<Reply> m_replies;
    Reply m_defaultReply;
};

} // namespace kl::telemetry::test

Q_DECLARE_METATYPE(kl::telemetry::test::FakeHttpServer::Reply)
