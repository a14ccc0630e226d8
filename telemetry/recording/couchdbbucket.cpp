#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/recording/couchdbbucket_p.h"

#include "telemetry/recording/abstractbucket_p.h"

#include "telemetry/runtime/credentials_p.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace kl::telemetry {

// Uploaders are built from the cache file, which holds no credentials; they find them in
// the process's store, under the destination they send to and the account each record keeps.
// What the bucket gave for a destination it has left stays there: its records may still be
// cached.
void CouchDBBucketPrivate::shareCredentials() const
{
    const Credentials credentials = m_userName.isEmpty()
        ? Credentials { m_server.userName(), m_server.password() }
        : Credentials { m_userName, m_password };
    AbstractBucketPrivate::get(q)->m_account = credentials.userName;
    credentialStore()->remember(q, m_server, m_database, credentials);
}

CouchDBBucket::CouchDBBucket(QObject *parent)
    : AbstractBucket(parent)
    , d(new CouchDBBucketPrivate(this))
{
}

CouchDBBucket::~CouchDBBucket()
{
    delete d;
}

QUrl CouchDBBucket::server() const
{
    return d->m_server;
}

void CouchDBBucket::setServer(const QUrl &server)
{
    if (d->m_server == server)
        return;
    d->m_server = server;
    d->shareCredentials();
    Q_EMIT serverChanged();
}

QString CouchDBBucket::database() const
{
    return d->m_database;
}

void CouchDBBucket::setDatabase(const QString &database)
{
    if (d->m_database == database)
        return;
    d->m_database = database;
    d->shareCredentials();
    Q_EMIT databaseChanged();
}

QString CouchDBBucket::userName() const
{
    return d->m_userName;
}

void CouchDBBucket::setUserName(const QString &userName)
{
    if (d->m_userName == userName)
        return;
    d->m_userName = userName;
    d->shareCredentials();
    Q_EMIT userNameChanged();
}

QString CouchDBBucket::password() const
{
    return d->m_password;
}

void CouchDBBucket::setPassword(const QString &password)
{
    if (d->m_password == password)
        return;
    d->m_password = password;
    d->shareCredentials();
    Q_EMIT passwordChanged();
}

QString CouchDBBucket::storageBackend() const
{
    return QStringLiteral("couchdb");
}

// The registry compares this text byte for byte, so its layout is what makes two buckets
// with equal settings share a destination; it must never change. Credentials stay out of it.
QString CouchDBBucket::storageLocationInfo() const
{
    const QJsonObject location {
        { QStringLiteral("server"), withoutUserInfo(d->m_server) },
        { QStringLiteral("database"), d->m_database },
    };
    return QString::fromUtf8(QJsonDocument(location).toJson(QJsonDocument::Indented));
}

bool CouchDBBucket::isValid() const
{
    return !d->m_server.isEmpty() && !d->m_database.isEmpty();
}

} // namespace kl::telemetry
