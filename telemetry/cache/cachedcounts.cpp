// Counts for the status that applications show; read often, so quiet when the cache is closed.

#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"

#include <QSqlQuery>
#include <QVariant>

namespace kl::telemetry {

QMap<QString, int> DataCollector::getCachedCountsByLocation()
{
    QMutexLocker locker(&d->m_connectionMutex);
    QMap<QString, int> counts;
    if (!d->m_db.isOpen())
        return counts;
    QSqlQuery query(d->m_db);
    // Counting first looks each destination up once, not once per row.
    if (!query.exec(QStringLiteral(
            "SELECT storages.locationInfo, counts.n FROM (SELECT storageID, COUNT(*) AS n "
            "FROM telemetry GROUP BY storageID) AS counts JOIN storages USING (storageID)")))
        return counts;
    while (query.next())
        counts.insert(query.value(0).toString(), query.value(1).toInt());
    return counts;
}

} // namespace kl::telemetry
