#pragma once

#include "telemetry/runtime/hook_p.h"
#include "telemetry/runtime/runtime.h"

#include <QHash>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVector>

namespace kl::telemetry {

/// destinationName() of the destination that a location info text (JSON) names.
QString destinationNameOf(const QString &locationInfo);

/// A user name and password for HTTP Basic authentication; none without a user name.
struct Credentials
{
    QString userName;
    QString password;

    bool isEmpty() const { return userName.isEmpty(); }
    /// The value of an "Authorization" header: "Basic " and Base64 of UTF-8 "name:password".
    QByteArray basicAuthorization() const;
};

/**
 * The credentials that this process's buckets carry, by destination (server and database),
 * in memory only: the cache file never holds them, so the uploader of a destination finds
 * them here when it sends. Each bucket keeps its own entry, so that one bucket clearing its
 * login does not take another's. Safe from any thread: buckets fill it where they record,
 * uploaders read it where they publish.
 */
class CredentialStore
{
public:
    /**
     * What @p bucket carries for a destination: the latest credentials remembered for it win;
     * empty ones withdraw what that bucket had given before.
     */
    void remember(const void *bucket, const QUrl &server, const QString &database,
                  const Credentials &credentials);
    /**
     * The credentials for a destination: the server's own user info when it has some
     * (destinations cached before credentials left the cache file), otherwise the latest
     * remembered for it. With an @p account, only a login as that user name: none when this
     * process knows no password for it there, so that a record never goes with another login.
     */
    Credentials find(const QUrl &server, const QString &database,
                     const QString &account = QString()) const;
    /// The user names that this process can log in as at a destination.
    QStringList accounts(const QUrl &server, const QString &database) const;

private:
    struct Entry
    {
        const void *bucket;
        Credentials credentials;
    };

    static QString keyOf(const QUrl &server, const QString &database);

    mutable QMutex m_mutex;
    QHash<QString, QVector<Entry>> m_byDestination;
};

CredentialStore *credentialStore();

/**
 * Of @p recordsByAccount, the cached records of a destination per user name, how many wait for
 * a login that this process does not have there. @p locationInfo names the destination as a
 * CouchDB bucket's location info does, with its "server" and "database".
 */
int recordsWaitingForLogin(const QString &locationInfo, const QMap<QString, int> &recordsByAccount);

/// Told, on the bucket's thread, each time a bucket gives its server, database or login anew.
Hook<void()> &credentialsRemembered();

} // namespace kl::telemetry
