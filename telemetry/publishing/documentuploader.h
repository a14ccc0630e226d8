#pragma once

#include "telemetry/korveltelemetry_export.h"
#include "telemetry/publishing/uploadresult.h"

#include <QObject>
#include <QPair>
#include <QStringList>
#include <QUrl>

namespace kl::telemetry {

/**
 * Sends batches of record documents to one destination and reports each outcome once,
 * asynchronously, through finished().
 *
 * The publisher drives uploaders without owning them. Use from the thread the uploader lives
 * in; that thread must run an event loop.
 * \ingroup advanced
 */
class KORVELTELEMETRY_EXPORT DocumentUploader : public QObject
{
    Q_OBJECT

public:
    /// An uploader that sends nothing until addDocuments() is called.
    explicit DocumentUploader(QObject *parent = nullptr);
    /// Destroys the uploader.
    ~DocumentUploader() override;

    /**
     * Starts sending @p documents, each the complete text of one JSON object whose "_id" is
     * the same entry of @p ids, and returns at once. The outcome arrives later as one
     * finished() emission from the event loop; connect to finished() before calling. Calls
     * may overlap, and their results arrive in the order in which the destination answers.
     * The UploadResult speaks only of @p ids: what the answer says of other ids is ignored.
     */
    virtual void addDocuments(const QStringList &ids, const QStringList &documents) = 0;

    /**
     * The user name whose login the next batches go with: records recorded with a login go
     * only with theirs, and without a password for it they go with none. Empty, as at the
     * start, for records recorded without a login: they go with the login set last for the
     * destination. An uploader without logins ignores it.
     */
    virtual void setAccount(const QString &account);
    /// The user names that this process can log in as at this destination; none unless the
    /// uploader knows logins.
    virtual QStringList logins() const;

Q_SIGNALS:
    /**
     * @p success is true when the destination answered the batch with a JSON array. The pair
     * holds the "id" and the "rev" of each element of that array, in its order (empty strings
     * where a member is missing or not a string); both lists are empty when @p success is
     * false.
     */
    void finished(bool success, QPair<QStringList, QStringList>);

    /**
     * The same outcome, read document by document: emitted right after finished(), once per
     * addDocuments() call, unless a receiver of finished() destroyed the uploader.
     */
    void resultReady(const kl::telemetry::UploadResult &result);

protected:
    /**
     * The value of an "Authorization" header (HTTP Basic) for a batch to @p database on
     * @p server, from the logins that this process's buckets carry in memory: the server's own
     * user info first, then the login given last for the destination. With an @p account,
     * only a login as that user name. Empty when there is none.
     */
    static QByteArray basicAuthorization(const QUrl &server, const QString &database,
                                         const QString &account = QString());
    /// The user names that this process's buckets carry logins for at a destination.
    static QStringList knownLogins(const QUrl &server, const QString &database);
};

} // namespace kl::telemetry
