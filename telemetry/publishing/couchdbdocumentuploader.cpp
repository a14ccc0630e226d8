#include "telemetry/publishing/couchdbdocumentuploader.h"

#include "telemetry/publishing/networkmanager.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleton.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace kl::telemetry {

namespace {

// The documents go in as they are, neither validated nor re-serialised.
QByteArray bulkDocsBody(const QStringList &documents)
{
    QByteArray body(" {\"docs\": [");
    for (int i = 0; i < documents.size(); ++i) {
        if (i > 0)
            body += ',';
        body += documents.at(i).toUtf8();
    }
    body += "]}";
    return body;
}

} // namespace

CouchDbDocumentUploader::CouchDbDocumentUploader(const QString &server, const QString &database,
                                                 QObject *parent)
    : DocumentUploader(parent)
    , m_server(server)
    , m_database(database)
{
}

CouchDbDocumentUploader::~CouchDbDocumentUploader() = default;

void CouchDbDocumentUploader::addDocuments(const QStringList &documents)
{
    // One arg() call, so that a "%2" inside the server text is not substituted again.
    // A server text ending in "/" keeps its slash: nothing is normalised.
    const QUrl url(QStringLiteral("%1/%2/_bulk_docs").arg(m_server, m_database),
                   QUrl::TolerantMode);
    QNetworkRequest request(url);
    request.setRawHeader("Content-Type", "application/json");

    QNetworkAccessManager *manager
        = Singleton<NetworkManager>::getInstance()->networkAccessManager();
    QNetworkReply *reply = manager->post(request, bulkDocsBody(documents));
    if (!reply) {
        // Still answer from the event loop, as for every other outcome.
        QMetaObject::invokeMethod(
            this, [this] { handleReply(nullptr); }, Qt::QueuedConnection);
        return;
    }
    // With the uploader as context, its destruction drops the handler of a request in flight.
    connect(reply, &QNetworkReply::finished, this, [this, reply] { handleReply(reply); });
}

void CouchDbDocumentUploader::handleReply(QNetworkReply *reply)
{
    bool success = false;
    QStringList ids;
    QStringList revs;

    if (reply) {
        if (reply->error() != QNetworkReply::NoError) {
            const QMetaEnum errors = QMetaEnum::fromType<QNetworkReply::NetworkError>();
            qCCritical(lcTelemetry)
                << "Transfer error:" << errors.valueToKey(reply->error()) << reply->errorString();
        } else {
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (status >= 200 && status <= 299) {
                QJsonParseError parseError;
                const QJsonDocument answer = QJsonDocument::fromJson(reply->readAll(), &parseError);
                if (parseError.error != QJsonParseError::NoError) {
                    qCCritical(lcTelemetry) << "JSON parse error: " << parseError.errorString();
                } else if (!answer.isEmpty() && answer.isArray()) {
                    const QJsonArray elements = answer.array();
                    for (const QJsonValue &element : elements) {
                        // A missing or non-string member, or a non-object element, gives "".
                        const QJsonObject object = element.toObject();
                        ids.append(object.value(QLatin1String("id")).toString());
                        revs.append(object.value(QLatin1String("rev")).toString());
                    }
                    success = true;
                }
            }
        }
        // Done with the reply before the outcome goes out: a receiver may replace the access
        // manager from its slot, and that deletes the manager's replies.
        reply->close();
        reply->deleteLater();
    }

    Q_EMIT finished(success, qMakePair(ids, revs));
}

} // namespace kl::telemetry
