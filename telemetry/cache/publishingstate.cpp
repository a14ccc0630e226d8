// The publisher's progress per destination, such as how far a refused batch was narrowed, kept
// in the cache file beside the records it concerns: every process of the user goes on from it,
// also one started after the process that began. The text is the publisher's own; this part
// only keeps it. Runs under the machine-wide main lock, on the publisher's thread.

#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"
#include "telemetry/runtime/tables_p.h"

#include <QSqlQuery>
#include <QVariant>

namespace kl::telemetry {

// Before the first state is kept the table does not exist, and the read finds nothing.
std::optional<QByteArray> DataCollector::publishingState(int storageId)
{
    CacheDatabase &cache = d->m_cache;
    ConnectionLocker locker(&cache.m_mutex, cache.m_db);
    QSqlQuery query(cache.m_db);
    if (!query.exec(QStringLiteral("SELECT state FROM telemetry_publishing WHERE storageID = %1")
                        .arg(storageId)))
        return isBusy(query.lastError()) ? std::nullopt : std::optional<QByteArray>(QByteArray());
    return query.next() ? query.value(0).toByteArray() : QByteArray();
}

bool DataCollector::setPublishingState(int storageId, const QByteArray &state)
{
    CacheDatabase &cache = d->m_cache;
    ConnectionLocker locker(&cache.m_mutex, cache.m_db);
    QSqlQuery query(cache.m_db);
    if (!query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS telemetry_publishing(storageID "
                                   "INTEGER NOT NULL PRIMARY KEY, state TEXT NOT NULL)")))
        return false;
    if (state.isEmpty())
        return query.exec(
            QStringLiteral("DELETE FROM telemetry_publishing WHERE storageID = %1").arg(storageId));
    if (!query.prepare(QStringLiteral("INSERT OR REPLACE INTO telemetry_publishing VALUES (?, ?)")))
        return false;
    query.addBindValue(storageId);
    query.addBindValue(QString::fromUtf8(state));
    return query.exec();
}

} // namespace kl::telemetry
