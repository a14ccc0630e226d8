#pragma once

#include "telemetry/status/telemetrystatus.h"

#include <QAtomicInt>

namespace kl::telemetry {

class UploadResult;
struct BatchVerdict;

class TelemetryStatusPrivate
{
public:
    explicit TelemetryStatusPrivate(TelemetryStatus *qq)
        : q(qq)
    {
    }

    // Hooks for the collector and the publisher, from any thread; they do nothing until the
    // status exists, and hand the work to its thread.
    static void countsMayHaveChanged();
    static void batchAnswered(int storageId, const BatchVerdict &verdict, int sent,
                              const UploadResult &result);

    template<typename Function>
    static void post(Function function);
    void refreshCounts();
    void setCachedCounts(const QVariantMap &counts);
    void setLastError(const QString &text, int httpStatus);
    void takeBatch(const QString &destination, int stored, bool allStored, const QString &error,
                   int httpStatus);

    TelemetryStatus *q;
    // Set while a refresh is on its way, so that flushes in a row post one.
    QAtomicInt m_refreshPosted;
    int m_queuedCount = 0;
    QVariantMap m_cachedCounts;
    int m_cachedCount = 0;
    QDateTime m_lastPublishTime;
    QString m_lastPublishDestination;
    int m_lastPublishCount = 0;
    QString m_lastError;
    int m_lastErrorStatus = 0;
};

} // namespace kl::telemetry
