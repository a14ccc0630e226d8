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
#include <QPointer>
#include <QSet>
#include <QSslError>
#include <QTimer>
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

// What a CouchDB error body says, when it is one.
struct ServerError
{
    QString error;
    QString reason;
};

ServerError serverError(const QByteArray &body)
{
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    return { object.value(QLatin1String("error")).toString(),
             object.value(QLatin1String("reason")).toString() };
}

UploadResult::Kind refusalKind(int status, const QString &error)
{
    switch (status) {
    case 401:
    case 403:
        return UploadResult::Kind::CredentialsRefused;
    case 400:
        // CouchDB's answer to a database name it does not accept: no record is at fault.
        if (error == QLatin1String("illegal_database_name"))
            return UploadResult::Kind::Transient;
        return UploadResult::Kind::ContentRefused;
    case 413:
    case 422:
        return UploadResult::Kind::ContentRefused;
    case 500:
        // pouchdb-server answers a reserved "_" member or a document that is not an object so;
        // any other 500 may be the server's own trouble and must not set records aside.
        if (error == QLatin1String("doc_validation") || error == QLatin1String("bad_request"))
            return UploadResult::Kind::ContentRefused;
        return UploadResult::Kind::Transient;
    default:
        // 415 among them: the Content-Type is the same for every batch, so no record is at
        // fault.
        return UploadResult::Kind::Transient;
    }
}

// A reply that ended with a network error, an HTTP error status among them.
UploadResult failedResult(QNetworkReply *reply, int status)
{
    // Aborted replies (time-out, too large) carry the status of headers that did arrive.
    if (reply->error() == QNetworkReply::OperationCanceledError || status == 0)
        return UploadResult(UploadResult::Kind::Transient, status, reply->errorString());
    const ServerError error = serverError(reply->readAll());
    const QString text = error.error.isEmpty() ? reply->errorString()
                                               : error.error + QLatin1String(": ") + error.reason;
    return UploadResult(refusalKind(status, error.error), status, text);
}

// "ok" and "conflict" mean the server holds a document with that id: a conflict proves it only
// for a document sent without "_rev", as every sendable one is. Entries for ids not sent in
// this batch, or without an id, say nothing of its records.
UploadResult perDocumentResult(int status, const QJsonArray &elements, const QSet<QString> &sent)
{
    UploadResult result(UploadResult::Kind::PerDocument, status);
    for (const QJsonValue &element : elements) {
        const QJsonObject object = element.toObject();
        const QString id = object.value(QLatin1String("id")).toString();
        const QString error = object.value(QLatin1String("error")).toString();
        if (!sent.contains(id))
            continue;
        if (object.value(QLatin1String("ok")).toBool() || error == QLatin1String("conflict"))
            result.addStored(id);
        else if (!error.isEmpty())
            result.addRefused({ id, error, object.value(QLatin1String("reason")).toString() });
    }
    return result;
}

// CouchDB answers a missing login with 401 and no challenge, so Qt would never send the
// credentials of its own accord: they go with every request. Only in the header: Qt writes
// the request's URL into the error texts that reach the log.
void addAuthorization(QNetworkRequest &request, const QByteArray &authorization)
{
    if (authorization.isEmpty())
        return;
    request.setRawHeader("Authorization", authorization);
    QUrl url = request.url();
    url.setUserInfo(QString());
    request.setUrl(url);
}

// The server's path and the name as one segment ("team/metrics" is "team%2Fmetrics"), with one
// "/" between them whatever the server text ends in: a server behind a path prefix is often
// written with a trailing slash.
QUrl databaseUrl(const QString &server, const QString &database)
{
    QUrl url(server, QUrl::TolerantMode);
    QString path = url.path(QUrl::FullyEncoded);
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    url.setPath(path + QLatin1Char('/') + QString::fromLatin1(QUrl::toPercentEncoding(database)),
                QUrl::TolerantMode);
    return url;
}

// What to correct when the answer says the request went to the wrong place; empty otherwise.
// A 3xx without a Location names no place to go; an aborted reply is about the abort.
QString misdirection(QNetworkReply *reply, int status, const QUrl &database)
{
    if (reply->error() == QNetworkReply::OperationCanceledError)
        return {};
    if (status == 404)
        return QStringLiteral("The database does not exist: %1; create it or correct the "
                              "bucket's database name")
            .arg(withoutUserInfo(database));
    const QByteArray location = reply->rawHeader("Location");
    if (status < 300 || status > 399 || location.isEmpty())
        return {};
    const QUrl target = reply->url().resolved(QUrl(QString::fromUtf8(location)));
    return QStringLiteral("The server redirects %1 to %2; set the bucket's server to the address "
                          "it names")
        .arg(withoutUserInfo(database), withoutUserInfo(target));
}

#if QT_CONFIG(ssl)
// A string list as Qt 5 streams it (Qt 6 writes "QList" before it), so that a message reads
// the same with either.
QString streamedList(const QStringList &texts)
{
    QString text;
    {
        QDebug stream(&text); // writes into the text when it goes
        stream.nospace() << '(';
        for (const QString &item : texts)
            stream << (&item == &texts.first() ? "" : ", ") << item;
        stream << ')';
    }
    return text;
}

// The reply itself says only that the handshake failed; the certificate's faults are here.
void logTlsErrors(const QList<QSslError> &errors)
{
    QStringList texts;
    for (const QSslError &error : errors)
        texts << error.errorString();
    qCCritical(lcTelemetry).noquote() << "TLS errors:" << streamedList(texts);
}
#endif

} // namespace

CouchDbDocumentUploader::CouchDbDocumentUploader(const QString &server, const QString &database,
                                                 QObject *parent)
    : DocumentUploader(parent)
    , m_server(server)
    , m_database(database)
    , m_databaseUrl(databaseUrl(server, database))
{
}

CouchDbDocumentUploader::~CouchDbDocumentUploader() = default;

void CouchDbDocumentUploader::setAccount(const QString &account)
{
    m_account = account;
}

QStringList CouchDbDocumentUploader::logins() const
{
    return knownLogins(QUrl(m_server, QUrl::TolerantMode), m_database);
}

void CouchDbDocumentUploader::addDocuments(const QStringList &ids, const QStringList &documents)
{
    QUrl url = m_databaseUrl;
    url.setPath(url.path(QUrl::FullyEncoded) + QLatin1String("/_bulk_docs"), QUrl::TolerantMode);
    QNetworkRequest request(url);
    request.setRawHeader("Content-Type", "application/json");
    // A POST must not be replayed elsewhere, and Qt 6 would follow by default.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    addAuthorization(request,
                     basicAuthorization(QUrl(m_server, QUrl::TolerantMode), m_database, m_account));

    QNetworkAccessManager *manager
        = Singleton<NetworkManager>::getInstance()->networkAccessManager();
    QNetworkReply *reply = manager->post(request, bulkDocsBody(documents));
    if (!reply) {
        // Still answer from the event loop, as for every other outcome.
        QMetaObject::invokeMethod(
            this, [this] { handleReply(nullptr, nullptr, {}); }, Qt::QueuedConnection);
        return;
    }
    watchReply(reply, QSet<QString>(ids.begin(), ids.end()));
}

// With the uploader as context, its destruction drops the handlers of a request in flight.
void CouchDbDocumentUploader::watchReply(QNetworkReply *reply, const QSet<QString> &sent)
{
    const NetworkManager *network = Singleton<NetworkManager>::getInstance();
    const int timeout = network->uploadTimeout();
    const qint64 maxSize = network->maxReplySize();
    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    // A coarse timer may fire up to 5% early; the time-out is a promise to the host.
    deadline->setTimerType(Qt::PreciseTimer);

    connect(reply, &QNetworkReply::finished, this,
            [this, reply, deadline, sent] { handleReply(reply, deadline, sent); });
#if QT_CONFIG(ssl)
    connect(reply, &QNetworkReply::sslErrors, this, &logTlsErrors);
#endif
    connect(deadline, &QTimer::timeout, this, [this, reply, deadline, timeout] {
        qCWarning(lcTelemetry) << "Upload aborted, no complete answer within" << timeout << "ms";
        abortReply(reply, deadline);
    });
    // The body is read only once complete, so what is available is all that came; the
    // announced length tells early. (downloadProgress is throttled and may never come.)
    connect(reply, &QNetworkReply::readyRead, this, [this, reply, deadline, maxSize] {
        if (reply->bytesAvailable() <= maxSize
            && reply->header(QNetworkRequest::ContentLengthHeader).toLongLong() <= maxSize)
            return;
        qCWarning(lcTelemetry) << "Upload aborted, the answer is larger than" << maxSize << "bytes";
        abortReply(reply, deadline);
    });
    deadline->start(timeout);
}

// Answers at once rather than on finished(): a reply of a host's manager need not finish
// when aborted, and the publisher holds the machine-wide lock until it hears back.
void CouchDbDocumentUploader::abortReply(QNetworkReply *reply, QTimer *deadline)
{
    disconnect(reply, nullptr, this, nullptr);
    reply->abort();
    // An aborted reply is a transient failure, whatever was sent.
    handleReply(reply, deadline, {});
}

void CouchDbDocumentUploader::handleReply(QNetworkReply *reply, QTimer *deadline,
                                          const QSet<QString> &sent)
{
    bool success = false;
    QStringList ids;
    QStringList revs;
    UploadResult result;

    if (reply) {
        disconnect(reply, nullptr, this, nullptr);
        deadline->stop();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        // The same failure (a 404, a redirect, a refused login) comes back every pass until
        // someone corrects the bucket or the server: said once until the answer changes, it
        // does not bury the rest of the log.
        const QString warning = misdirection(reply, status, m_databaseUrl);
        const QString problem = warning.isEmpty() && reply->error() == QNetworkReply::NoError
            ? QString()
            : QString::number(status) + QLatin1Char(' ') + reply->errorString() + warning;
        const bool told = !problem.isEmpty() && problem == m_toldProblem;
        m_toldProblem = problem;
        if (reply->error() != QNetworkReply::NoError) {
            const QMetaEnum errors = QMetaEnum::fromType<QNetworkReply::NetworkError>();
            if (!told)
                qCCritical(lcTelemetry) << "Transfer error:" << errors.valueToKey(reply->error())
                                        << reply->errorString();
            result = failedResult(reply, status);
        } else if (status >= 200 && status <= 299) {
            QJsonParseError parseError;
            const QJsonDocument answer = QJsonDocument::fromJson(reply->readAll(), &parseError);
            if (parseError.error != QJsonParseError::NoError) {
                qCCritical(lcTelemetry) << "JSON parse error: " << parseError.errorString();
                result
                    = UploadResult(UploadResult::Kind::Transient, status, parseError.errorString());
            } else if (!answer.isEmpty() && answer.isArray()) {
                const QJsonArray elements = answer.array();
                for (const QJsonValue &element : elements) {
                    // A missing or non-string member, or a non-object element, gives "".
                    const QJsonObject object = element.toObject();
                    ids.append(object.value(QLatin1String("id")).toString());
                    revs.append(object.value(QLatin1String("rev")).toString());
                }
                success = true;
                result = perDocumentResult(status, elements, sent);
            } else {
                result = UploadResult(UploadResult::Kind::Transient, status,
                                      QStringLiteral("the answer is not a JSON array"));
            }
        } else {
            result = UploadResult(UploadResult::Kind::Transient, status,
                                  QStringLiteral("unexpected HTTP status"));
        }
        if (!told && !warning.isEmpty())
            qCWarning(lcTelemetry).noquote() << warning;
        // Done with the reply before the outcome goes out: a receiver may replace the access
        // manager from its slot, and that deletes the manager's replies.
        reply->close();
        reply->deleteLater();
    }

    const QPointer<CouchDbDocumentUploader> alive(this);
    Q_EMIT finished(success, qMakePair(ids, revs));
    // cppcheck-suppress knownConditionTrueFalse ; a receiver of finished() may delete us
    if (alive)
        Q_EMIT resultReady(result);
}

} // namespace kl::telemetry
