#include "installer.h"

#include "designdocument.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkReply>

namespace kl::telemetry::dashboard {

namespace {

constexpr int kRequestTimeoutMs = 30000;
// Another installer may update the document between our read and our write.
constexpr int kAttempts = 3;

} // namespace

DashboardInstaller::DashboardInstaller(const QUrl &server, const QString &database)
    : m_server(server)
    , m_database(database)
{
    m_network.setTransferTimeout(kRequestTimeoutMs);
}

QUrl DashboardInstaller::urlOf(const QString &path) const
{
    QUrl url = m_server.adjusted(QUrl::RemoveUserInfo | QUrl::StripTrailingSlash);
    url.setPath(url.path() + QLatin1Char('/')
                    + QString::fromLatin1(QUrl::toPercentEncoding(m_database)) + path,
                QUrl::TolerantMode);
    return url;
}

QUrl DashboardInstaller::pageUrl() const
{
    return urlOf(QLatin1Char('/') + designDocumentId() + QStringLiteral("/index.html"));
}

DashboardInstaller::Reply DashboardInstaller::send(const QByteArray &verb, const QString &path,
                                                   const QByteArray &body)
{
    QNetworkRequest request(urlOf(path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader("Accept", "application/json");
    if (!m_server.userName().isEmpty()) {
        const QByteArray pair = m_server.userName().toUtf8() + ':' + m_server.password().toUtf8();
        request.setRawHeader("Authorization", "Basic " + pair.toBase64());
    }
    QNetworkReply *reply = m_network.sendCustomRequest(request, verb, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    reply->deleteLater();
    Reply answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.body = QJsonDocument::fromJson(reply->readAll()).object();
    if (answer.status == 0)
        answer.error = reply->errorString();
    else if (answer.status >= 300)
        answer.error = answer.body.value(QLatin1String("reason"))
                           .toString(answer.body.value(QLatin1String("error"))
                                         .toString(QString::number(answer.status)));
    return answer;
}

Installation DashboardInstaller::failure(const QString &doing, const Reply &reply) const
{
    if (reply.status == 401)
        return { Installation::NeedsCredentials, {}, reply.error };
    QString error = doing + QStringLiteral(": ") + reply.error;
    if (reply.status == 403)
        error += QStringLiteral(" (design documents are written by an admin of the database)");
    return { Installation::Failed, {}, error };
}

Installation DashboardInstaller::install()
{
    QJsonObject wanted = designDocument();
    const QString path = QLatin1Char('/') + designDocumentId();
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const Reply installed = send("GET", path);
        if (installed.status == 200) {
            const QString revision = installed.body.value(QLatin1String("_rev")).toString();
            if (isInstalled(installed.body, wanted))
                return { Installation::UpToDate, revision, {} };
            wanted.insert(QStringLiteral("_rev"), revision);
        } else if (installed.status == 404) {
            if (send("GET", QString()).status == 404)
                return { Installation::Failed,
                         {},
                         QStringLiteral("The database %1 does not exist on %2")
                             .arg(m_database,
                                  urlOf(QString()).adjusted(QUrl::RemovePath).toString()) };
            wanted.remove(QStringLiteral("_rev"));
        } else {
            return failure(QStringLiteral("Reading %1").arg(designDocumentId()), installed);
        }
        const Reply written
            = send("PUT", path, QJsonDocument(wanted).toJson(QJsonDocument::Compact));
        if (written.status == 201 || written.status == 202)
            return { Installation::Installed,
                     written.body.value(QLatin1String("rev")).toString(),
                     {} };
        if (written.status != 409)
            return failure(QStringLiteral("Writing %1").arg(designDocumentId()), written);
    }
    return { Installation::Failed,
             {},
             QStringLiteral("%1 kept changing while it was written").arg(designDocumentId()) };
}

} // namespace kl::telemetry::dashboard
