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
};

} // namespace kl::telemetry
