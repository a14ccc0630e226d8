#include "telemetry/recording/abstractbucket.h"
#include "telemetry/recording/abstractbucket_p.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/registry/backends.h"
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

void AbstractBucket::placeRecord(const QString &id, const QJsonDocument &record)
{
    if (!isValid()) {
        qCWarning(lcTelemetry) << "Bucket state is invalid, recording is impossible";
        return;
    }
    if (d->m_storageId == -1) {
        d->m_storageId = currentBackends()->getStorageID(storageBackend(), storageLocationInfo());
        if (d->m_storageId == -1) {
            qCWarning(lcTelemetry) << "Unable to retrieve storage ID";
            return;
        }
    }
    currentDataCollector()->collect(id, QDateTime::currentMSecsSinceEpoch(), d->m_storageId,
                                    record.toJson(QJsonDocument::Compact));
}

} // namespace kl::telemetry
