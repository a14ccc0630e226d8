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
    if (!query.exec(QStringLiteral(
            "SELECT storages.locationInfo, COUNT(*) FROM telemetry JOIN storages "
            "ON storages.storageID = telemetry.storageID GROUP BY telemetry.storageID")))
        return counts;
    while (query.next())
        counts.insert(query.value(0).toString(), query.value(1).toInt());
    return counts;
}

} // namespace kl::telemetry
