#include "telemetry/recording/abstractbucket.h"
#include "telemetry/recording/abstractbucket_p.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"
#include "telemetry/registry/backends.h"
#include "telemetry/registry/backends_p.h"
#include "telemetry/runtime/cachefile_p.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/steadyfacts_p.h"

#include <QDateTime>
#include <QJsonDocument>

#include <algorithm>

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

QStringList AbstractBucket::facts() const
{
    return d->m_facts;
}

void AbstractBucket::setFacts(const QStringList &facts)
{
    if (d->m_facts == facts)
        return;
    d->m_facts = facts;
    d->m_factMembers.reset();
    Q_EMIT factsChanged();
}

const AbstractBucketPrivate::FactMembers &AbstractBucketPrivate::factMembers()
{
    if (m_factMembers)
        return *m_factMembers;
    QJsonObject members;
    for (const QString &fact : qAsConst(m_facts)) {
        const QString source = fact.section(QLatin1Char('.'), 0, 0);
        const QString field = fact.section(QLatin1Char('.'), 1);
        const QJsonValue value = steadyFacts(source).value(field);
        if (field.isEmpty() || value.isUndefined()) {
            qCWarning(lcTelemetry).noquote()
                << QStringLiteral("Unknown fact %1 left out of the records: facts are named "
                                  "SOURCE.FIELD, of the sources %2")
                       .arg(fact, steadySourceIds().join(QLatin1String(", ")));
            continue;
        }
        members.insert(source + field.left(1).toUpper() + field.mid(1), value);
    }
    const QByteArray text = QJsonDocument(members).toJson(QJsonDocument::Compact);
    m_factMembers = FactMembers { members, members.keys(), text.mid(1, text.size() - 2) };
    return *m_factMembers;
}

// Appended to the text, which is the cheap way, unless the record has a member of the same
// name already: then that one stays.
void AbstractBucketPrivate::attachFacts(const QJsonDocument &record, QByteArray &json)
{
    if (m_facts.isEmpty() || !json.endsWith('}'))
        return;
    const FactMembers &facts = factMembers();
    if (facts.members.isEmpty())
        return;
    QJsonObject object = record.object();
    const auto taken = [&object](const QString &name) { return object.contains(name); };
    if (std::none_of(facts.names.cbegin(), facts.names.cend(), taken)) {
        json.chop(1);
        if (json.size() > 1)
            json += ',';
        json += facts.text;
        json += '}';
        return;
    }
    for (auto fact = facts.members.begin(); fact != facts.members.end(); ++fact) {
        if (!object.contains(fact.key()))
            object.insert(fact.key(), fact.value());
    }
    json = QJsonDocument(object).toJson(QJsonDocument::Compact);
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
    if (d->m_storageId == kNoStorageId || d->m_generation != generation) {
        d->m_storageId = BackendsPrivate::get(currentBackends())
                             ->storageIdWithoutRegistering(storageBackend(), storageLocationInfo());
        d->m_generation = generation;
        if (d->m_storageId == kNoStorageId) {
            if (!std::exchange(d->m_lookupFailing, true))
                qCWarning(lcTelemetry) << "Unable to retrieve storage ID";
            return;
        }
        d->m_lookupFailing = false;
    }
    QByteArray json = record.toJson(QJsonDocument::Compact);
    d->attachFacts(record, json);
    currentCollectorPrivate()->collect({ id, QDateTime::currentMSecsSinceEpoch(), d->m_storageId,
                                         std::move(json), d->m_account, level });
}

namespace {

// Under the main lock. The process's registry comes first, so that opening the cache file
// reopens it too; it is asked afterwards, so that it knows the destination's ID in that file.
bool purgeUnderMainLock(const QString &backend, const QString &locationInfo)
{
    Backends *registry = currentBackends();
    DataCollectorPrivate *collector = currentCollectorPrivate();
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
    currentCollectorPrivate()->runHostCall(
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
