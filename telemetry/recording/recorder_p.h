#pragma once

#include "telemetry/recording/abstractbucket.h"
#include "telemetry/recording/recorder.h"

#include <QPointer>

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
    // Cleared when the bucket is destroyed, which then counts as no bucket.
    QPointer<AbstractBucket> m_bucket;
    TelemetryConsent::Level m_level = TelemetryConsent::Usage;
};

} // namespace kl::telemetry
