#pragma once

#include "telemetry/status/telemetrystatus.h"

#include <QAtomicInt>

namespace kl::telemetry {

struct BatchAnswer;

class TelemetryStatusPrivate
{
public:
    explicit TelemetryStatusPrivate(TelemetryStatus *qq)
        : q(qq)
    {
    }

    // Installed into the collector and the publisher, which call them from their threads;
    // they hand the work to the status's thread.
    void listen();
    void stopListening();
    void countsMayHaveChanged();
    void batchAnswered(const BatchAnswer &answer);

    template<typename Function>
    void post(Function function);
    void refreshCounts();
    void setCachedCounts(const QVariantMap &counts);
    void setLastError(const QString &text, int httpStatus);
    void setDestinationError(const QString &destination, const QString &text);
    void takeBatch(const BatchAnswer &answer);

    TelemetryStatus *q;
    // Set while a refresh is on its way, so that flushes in a row post one.
    QAtomicInt m_refreshPosted;
    int m_queuedCount = 0;
    int m_droppedCount = 0;
    QVariantMap m_cachedCounts;
    int m_cachedCount = 0;
    QDateTime m_lastPublishTime;
    QString m_lastPublishDestination;
    int m_lastPublishCount = 0;
    QString m_lastError;
    int m_lastErrorStatus = 0;
    QVariantMap m_destinationErrors;
};

} // namespace kl::telemetry
