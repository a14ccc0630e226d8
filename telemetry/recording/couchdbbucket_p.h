#pragma once

#include "telemetry/recording/couchdbbucket.h"

namespace kl::telemetry {

class CouchDBBucketPrivate
{
public:
    explicit CouchDBBucketPrivate(CouchDBBucket *qq)
        : q(qq)
    {
    }

    void shareCredentials() const;

    CouchDBBucket *q;
    QUrl m_server;
    QString m_database;
    QString m_userName;
    QString m_password;
};

} // namespace kl::telemetry
