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

    CouchDBBucket *q;
    QUrl m_server;
    QString m_database;
};

} // namespace kl::telemetry
