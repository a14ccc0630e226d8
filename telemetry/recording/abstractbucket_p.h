#pragma once

#include "telemetry/recording/abstractbucket.h"

namespace kl::telemetry {

class AbstractBucketPrivate
{
public:
    explicit AbstractBucketPrivate(AbstractBucket *qq)
        : q(qq)
    {
    }

    static AbstractBucketPrivate *get(AbstractBucket *bucket) { return bucket->d; }

    AbstractBucket *q;
    // The user name that the bucket's records go out with; empty without a login.
    QString m_account;
    int m_storageId = -1;
    // The cache file generation the storage ID belongs to.
    int m_generation = 0;
    bool m_lookupFailing = false;
};

} // namespace kl::telemetry
