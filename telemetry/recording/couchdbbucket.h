#pragma once

#include "telemetry/recording/abstractbucket.h"

#include <QUrl>

namespace kl::telemetry {

class CouchDBBucketPrivate;

/**
 * A CouchDB database as a destination: the server's base URL and the database name. Valid
 * once both are set. Buckets with equal settings share one destination, in every process.
 */
class KORVELTELEMETRY_EXPORT CouchDBBucket : public AbstractBucket
{
    Q_OBJECT
    Q_PROPERTY(QUrl server READ server WRITE setServer NOTIFY serverChanged)
    Q_PROPERTY(QString database READ database WRITE setDatabase NOTIFY databaseChanged)

public:
    explicit CouchDBBucket(QObject *parent = nullptr);
    ~CouchDBBucket() override;

    QUrl server() const;
    void setServer(const QUrl &server);
    QString database() const;
    void setDatabase(const QString &database);

    /// "couchdb".
    QString storageBackend() const override;
    /// The indented JSON object with "database" and "server" (fully encoded) that names it.
    QString storageLocationInfo() const override;
    bool isValid() const override;

Q_SIGNALS:
    void serverChanged();
    void databaseChanged();

private:
    Q_DISABLE_COPY(CouchDBBucket)
    CouchDBBucketPrivate *d;
};

} // namespace kl::telemetry
