#pragma once

#include "telemetry/korveltelemetrynetwork_export.h"
#include "telemetry/publishing/documentuploader.h"

#include <QSet>
#include <QString>
#include <QUrl>

class QNetworkReply;
class QTimer;

namespace kl::telemetry {

/**
 * Uploads record documents to one CouchDB database through its "_bulk_docs" interface,
 * with the network access manager of Singleton<NetworkManager>.
 *
 * There is no retry. A reply that takes longer than NetworkManager::uploadTimeout(), or grows
 * beyond NetworkManager::maxReplySize(), is aborted and reported as a transient failure.
 * Destroying the uploader drops the outcome of its requests in flight.
 *
 * Every request carries "Authorization: Basic" when the process knows credentials for the
 * destination and the batch's account (see setAccount()): from the server's user info, or
 * given to a CouchDBBucket of this process for that server and database.
 * Certificate errors of a TLS connection are logged at critical level after "TLS errors:".
 *
 * Redirects are never followed: a 3xx answer is a transient failure. A 404, or a 3xx with a
 * Location, is logged with what to correct once, and again only when the answer changes or
 * after a batch was stored.
 * \ingroup advanced
 */
class KORVELTELEMETRYNETWORK_EXPORT CouchDbDocumentUploader : public DocumentUploader
{
    Q_OBJECT

public:
    /// @p server is the base URL as text (scheme, host, optional port and path); nothing is sent.
    CouchDbDocumentUploader(const QString &server, const QString &database,
                            QObject *parent = nullptr);
    /// Destroys the uploader, dropping the outcome of its requests in flight.
    ~CouchDbDocumentUploader() override;

    /**
     * Posts the documents as one batch to "<server>/<database>/_bulk_docs": the server's path,
     * with or without a trailing slash, then the percent-encoded database name.
     */
    void addDocuments(const QStringList &ids, const QStringList &documents) override;

    void setAccount(const QString &account) override;
    QStringList logins() const override;

private:
    void watchReply(QNetworkReply *reply, const QSet<QString> &sent);
    void abortReply(QNetworkReply *reply, QTimer *deadline);
    void handleReply(QNetworkReply *reply, QTimer *deadline, const QSet<QString> &sent);

    QString m_server;
    QString m_database;
    QString m_account;
    QUrl m_databaseUrl; // the server's path joined with the encoded database name
    QString m_toldProblem; // the 404 or redirect last logged; empty after any other answer
};

} // namespace kl::telemetry
