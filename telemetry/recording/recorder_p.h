#pragma once

#include "telemetry/recording/recorder.h"

namespace kl::telemetry {

class KORVELTELEMETRY_EXPORT RecorderPrivate
{
public:
    explicit RecorderPrivate(Recorder *qq)
        : q(qq)
    {
    }

    /// Starts the collector, the registry and the publisher, in this order, once per process.
    static void init();

    Recorder *q;
    QString m_type;
    AbstractBucket *m_bucket = nullptr;
};

} // namespace kl::telemetry
