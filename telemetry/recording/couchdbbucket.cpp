#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/recording/couchdbbucket_p.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace kl::telemetry {

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
    Q_EMIT databaseChanged();
}

QString CouchDBBucket::storageBackend() const
{
    return QStringLiteral("couchdb");
}

// The registry compares this text byte for byte, so its layout is what makes two buckets
// with equal settings share a destination; it must never change.
QString CouchDBBucket::storageLocationInfo() const
{
    const QJsonObject location {
        { QStringLiteral("server"), d->m_server.toString(QUrl::FullyEncoded) },
        { QStringLiteral("database"), d->m_database },
    };
    return QString::fromUtf8(QJsonDocument(location).toJson(QJsonDocument::Indented));
}

bool CouchDBBucket::isValid() const
{
    return !d->m_server.isEmpty() && !d->m_database.isEmpty();
}

} // namespace kl::telemetry
