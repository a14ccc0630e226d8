#pragma once

#include "telemetry/status/telemetrystatus.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"
#include "telemetry/publishing/cachefilewatch_p.h"

#include <QMutex>

#include <atomic>
#include <memory>
#include <optional>

namespace kl::telemetry {

struct BatchAnswer;
class DataCollectorPrivate;

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
    void countsMayHaveChanged(bool locked);
    void queueChanged();
    void batchAnswered(const BatchAnswer &answer);

    // Read on the thread that tells of a change, never on the status's own.
    struct Counts
    {
        std::optional<QVariantMap> cached; // empty when the cache could not be read
        std::optional<QVariantMap> errors; // of every process, as the cache file keeps them
        std::optional<QVariantMap> waiting; // for a login this process does not have
    };
    static Counts readCounts(bool cache);
    static void leaveCounts(QVariantMap &cached, const BatchAnswer &answer);

    template<typename Function>
    void post(Function function);
    void takeCounts(const Counts &counts);
    void takeQueueCounts();
    void setCachedCounts(const QVariantMap &counts);
    void setLastError(const QString &text, int httpStatus);
    void setDestinationError(const QString &destination, const QString &text);
    void setDestinationErrors(const QVariantMap &errors);
    void takeBatch(const BatchAnswer &answer);
    void changeAllSetAside(bool (DataCollectorPrivate::*change)(const QStringList &),
                           DataCollector::Done finished);
    static bool isCountSignal(const QMetaMethod &signal);
    void watchCache();
    void cacheChanged();
    void refreshCachedCounts();

    TelemetryStatus *q;
    // The latest counts read while a refresh is on its way, so that flushes in a row post
    // one, which shows what the last of them read.
    QMutex m_refreshMutex;
    std::optional<Counts> m_refreshCounts;
    int m_queuedCount = 0;
    int m_droppedCount = 0;
    QVariantMap m_cachedCounts;
    QVariantMap m_waitingForLogin;
    int m_cachedCount = 0;
    QDateTime m_lastPublishTime;
    QString m_lastPublishDestination;
    int m_lastPublishCount = 0;
    QString m_lastError;
    int m_lastErrorStatus = 0;
    QVariantMap m_destinationErrors;
    // While someone listens to the counts, other processes' writes refresh them too.
    std::unique_ptr<CacheFileWatch> m_cacheWatch;
    std::atomic<bool> m_refreshing { false };
    // Records queued in a row post one read of the queue.
    std::atomic<bool> m_queueReadPosted { false };
    // Refreshes on pool threads run while it is open; the status closes it before it goes.
    std::shared_ptr<FlushGate> m_gate = std::make_shared<FlushGate>();
};

} // namespace kl::telemetry
