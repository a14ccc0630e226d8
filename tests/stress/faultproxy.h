#pragma once

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace kl::telemetry::stress {

/// An HTTP proxy between the recording processes and pouchdb-server that forwards every request
/// as it came until it is armed with a fault. It reads one request per connection and answers
/// with "Connection: close", so that it never has to follow a client's keep-alive.
class FaultProxy : public QObject
{
public:
    enum Fault {
        Conflict, // stores the first document of a batch but reports a conflict for it
        Forbidden, // drops the first document of a batch and reports it forbidden
        Unauthorized, // the same, refused for want of credentials
        NeverAnswer, // keeps the next upload waiting until its client gives up
        EndlessBody, // answers the next upload with a 201 whose body never ends
        None
    };

    explicit FaultProxy(const QString &upstream)
        : m_upstream(upstream)
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *client = m_server.nextPendingConnection())
                accept(client);
        });
        m_server.listen(QHostAddress::LocalHost);
    }

    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()); }
    /// Strikes @p fault on the next @p times uploads.
    void arm(Fault fault, int times = 1)
    {
        m_armed = fault;
        m_remaining = times;
    }
    /// Documents refused, or uploads held, with @p fault.
    int struck(Fault fault) const { return m_struck[fault]; }
    /// Held uploads that have ended, and how long the last one was held: its client gives up,
    /// or the proxy after 60 s.
    int heldEnded() const { return m_heldEnded; }
    qint64 lastHeldMs() const { return m_lastHeldMs; }
    qint64 streamed() const { return m_streamed; }

private:
    void accept(QTcpSocket *client)
    {
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        connect(client, &QTcpSocket::readyRead, client,
                [this, client, buffer = QByteArray()]() mutable {
                    static const QRegularExpression length(
                        QStringLiteral("content-length:\\s*(\\d+)"),
                        QRegularExpression::CaseInsensitiveOption);
                    buffer += client->readAll();
                    const int end = buffer.indexOf("\r\n\r\n");
                    const int size
                        = length.match(QString::fromLatin1(buffer.left(end))).captured(1).toInt();
                    if (end >= 0 && buffer.size() >= end + 4 + size)
                        forward(client, buffer.left(buffer.indexOf("\r\n")).split(' '),
                                buffer.mid(end + 4, size));
                });
    }

    void forward(QTcpSocket *client, const QList<QByteArray> &requestLine, const QByteArray &body)
    {
        const bool strike = requestLine.value(1).endsWith("/_bulk_docs") && m_remaining > 0;
        const Fault fault = strike ? m_armed : None;
        m_remaining -= strike;
        if (fault == NeverAnswer || fault == EndlessBody)
            return hold(client, fault);
        QJsonObject request = QJsonDocument::fromJson(body).object();
        QJsonArray documents = request.value(QLatin1String("docs")).toArray();
        const QString refused
            = documents.isEmpty() ? QString() : documents.first()["_id"].toString();
        if (fault == Forbidden || fault == Unauthorized)
            documents.removeFirst();
        request.insert(QLatin1String("docs"), documents);
        QNetworkRequest upstream(QUrl(m_upstream + QString::fromLatin1(requestLine.value(1))));
        upstream.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
        QNetworkReply *reply = m_network.sendCustomRequest(
            upstream, requestLine.value(0), fault == None ? body : QJsonDocument(request).toJson());
        connect(reply, &QNetworkReply::finished, client, [this, reply, client, fault, refused] {
            reply->deleteLater();
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            QByteArray answer = reply->readAll();
            if (fault != None && status == 201 && !refused.isEmpty())
                answer = refusal(answer, refused, fault);
            else if (fault != None)
                ++m_remaining; // a batch refused whole takes no strike
            if (status == 0)
                return client->abort(); // as the server's own connection ended
            const QByteArray reason
                = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray();
            client->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
                          + "\r\nContent-Length: " + QByteArray::number(answer.size())
                          + "\r\nConnection: close\r\n\r\n" + answer);
            client->disconnectFromHost();
        });
    }

    // The server's answer with the entry of the refused document replaced by a refusal.
    QByteArray refusal(const QByteArray &answer, const QString &id, Fault fault)
    {
        static const char *const errors[] = { "conflict", "forbidden", "unauthorized" };
        ++m_struck[fault];
        QJsonArray entries;
        for (const QJsonValue &entry : QJsonDocument::fromJson(answer).array()) {
            if (entry["id"] != id)
                entries.append(entry);
        }
        entries.append(
            QJsonObject { { "id", id }, { "error", errors[fault] }, { "reason", "stress" } });
        return QJsonDocument(entries).toJson();
    }

    void hold(QTcpSocket *client, Fault fault)
    {
        ++m_struck[fault];
        QElapsedTimer held;
        held.start();
        connect(client, &QTcpSocket::disconnected, this, [this, held] {
            m_lastHeldMs = held.elapsed();
            ++m_heldEnded;
        });
        QTimer::singleShot(60000, client, &QTcpSocket::abort);
        if (fault == NeverAnswer)
            return;
        client->write("HTTP/1.1 201 Created\r\nContent-Type: application/json\r\n\r\n[");
        const auto pump
            = [this, client, chunk = QByteArray(R"({"ok":true,"id":"endless"},)").repeated(4096)] {
                  while (client->state() == QAbstractSocket::ConnectedState
                         && client->bytesToWrite() < 2 * chunk.size())
                      m_streamed += client->write(chunk);
              };
        connect(client, &QTcpSocket::bytesWritten, client, pump);
        pump();
    }

    const QString m_upstream;
    QTcpServer m_server;
    QNetworkAccessManager m_network;
    Fault m_armed = None;
    int m_remaining = 0, m_struck[None] = {}, m_heldEnded = 0;
    qint64 m_lastHeldMs = 0, m_streamed = 0;
};

} // namespace kl::telemetry::stress
