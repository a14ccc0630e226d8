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

    AbstractBucket *q;
    int m_storageId = -1;
    // The cache file generation the storage ID belongs to.
    int m_generation = 0;
    bool m_lookupFailing = false;
};

} // namespace kl::telemetry
