#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

class QUrl;

namespace kl::telemetry {

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
 * The credentials that this process's buckets carry, by server, in memory only: the cache
 * file never holds them, so the uploader of a destination finds them here when it sends.
 * Safe from any thread: buckets fill it where they record, uploaders read it where they
 * publish.
 */
class CredentialStore
{
public:
    /// Later credentials for the same server replace earlier ones; empty ones change nothing.
    void remember(const QUrl &server, const Credentials &credentials);
    /**
     * The credentials for @p server: its own user info when it has some (destinations cached
     * before credentials left the cache file), otherwise the ones remembered for it.
     */
    Credentials find(const QUrl &server) const;

private:
    static QString keyOf(const QUrl &server);

    mutable QMutex m_mutex;
    QHash<QString, Credentials> m_byServer;
};

CredentialStore *credentialStore();

} // namespace kl::telemetry
