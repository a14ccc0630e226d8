#include "telemetry/recording/abstractbucket.h"
#include "telemetry/recording/abstractbucket_p.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"
#include "telemetry/registry/backends.h"
#include "telemetry/registry/backends_p.h"
#include "telemetry/runtime/cachefile_p.h"
#include "telemetry/runtime/runtime.h"

#include <QDateTime>
#include <QJsonDocument>

namespace kl::telemetry {

AbstractBucket::AbstractBucket(QObject *parent)
    : QObject(parent)
    , d(new AbstractBucketPrivate(this))
{
}

AbstractBucket::~AbstractBucket()
{
    delete d;
}

void AbstractBucket::placeRecord(const QString &id, const QJsonDocument &record,
                                 TelemetryConsent::Level level)
{
    if (!isValid()) {
        qCWarning(lcTelemetry) << "Bucket state is invalid, recording is impossible";
        return;
    }
    // Held until the row is queued, so that the queue is never re-keyed in between.
    QReadLocker cacheFileLocker(&cacheFileLock());
    const int generation = cacheFileGeneration();
    if (d->m_storageId == -1 || d->m_generation != generation) {
        d->m_storageId = BackendsPrivate::get(currentBackends())
                             ->storageIdWithoutRegistering(storageBackend(), storageLocationInfo());
        d->m_generation = generation;
        if (d->m_storageId == -1) {
            if (!std::exchange(d->m_lookupFailing, true))
                qCWarning(lcTelemetry) << "Unable to retrieve storage ID";
            return;
        }
        d->m_lookupFailing = false;
    }
    DataCollectorPrivate::get(currentDataCollector())
        ->collect({ id, QDateTime::currentMSecsSinceEpoch(), d->m_storageId,
                    record.toJson(QJsonDocument::Compact), d->m_account, level });
}

namespace {

// Under the main lock. The process's registry comes first, so that opening the cache file
// reopens it too; it is asked afterwards, so that it knows the destination's ID in that file.
bool purgeUnderMainLock(const QString &backend, const QString &locationInfo)
{
    Backends *registry = currentBackends();
    DataCollectorPrivate *collector = DataCollectorPrivate::get(currentDataCollector());
    collector->openExistingCacheFile();
    const QList<int> ids = registry->knownStorageIds(backend, locationInfo);
    return ids.isEmpty() || collector->purgeDestinations(ids);
}

} // namespace

bool AbstractBucket::purgeDestination() const
{
    return DataCollectorPrivate::withMainLock(
        [this] { return purgeUnderMainLock(storageBackend(), storageLocationInfo()); });
}

void AbstractBucket::startPurgeDestination()
{
    DataCollectorPrivate::get(currentDataCollector())
        ->runHostCall(
            [backend = storageBackend(), locationInfo = storageLocationInfo()] {
                return purgeUnderMainLock(backend, locationInfo);
            },
            this, [this](bool purged) { Q_EMIT purgeDestinationFinished(purged); });
}

bool DataCollector::purgeDestination(const AbstractBucket &bucket)
{
    return bucket.purgeDestination();
}

} // namespace kl::telemetry
