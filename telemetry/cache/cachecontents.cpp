// What the cache file holds, read for people: every destination with its counts, and the
// oldest records of one. The collector's connection is not used: it would open the file for
// writing, and make the tables that a file of an older version lacks.

#include "telemetry/cache/cachecontents.h"

#include "telemetry/cache/cachedatabase_p.h"
#include "telemetry/cache/consentstore_p.h"
#include "telemetry/runtime/tables_p.h"

#include <QHash>
#include <QSqlQuery>

#include <functional>

namespace kl::telemetry {

namespace {

/// Runs @p statement over one of the tables that a file of an older version may lack, and hands
/// each row to @p row; true, with no row, when the table is missing.
bool readSideTable(const QSqlDatabase &db, const QString &table, const QString &statement,
                   const std::function<void(const QSqlQuery &)> &row, QString *error)
{
    const std::optional<bool> there = hasTable(db, table, error);
    if (!there)
        return false;
    QSqlQuery query(db);
    if (*there && !execBound(query, statement, {}, error))
        return false;
    while (query.next())
        row(query);
    return true;
}

bool readDestinations(const QSqlDatabase &db, QVector<CachedDestination> &destinations,
                      QString *error)
{
    QSqlQuery query(db);
    if (!execBound(query,
                   QStringLiteral(
                       "SELECT s.storageID, s.backend, s.locationInfo, "
                       "(SELECT COUNT(*) FROM telemetry t WHERE t.storageID = s.storageID), "
                       "(SELECT MIN(timestamp) FROM telemetry t WHERE t.storageID = s.storageID) "
                       "FROM storages s ORDER BY s.storageID"),
                   {}, error))
        return false;
    QHash<int, int> at; // index in destinations, by storage ID
    while (query.next()) {
        CachedDestination destination;
        destination.storageId = query.value(0).toInt();
        destination.backend = query.value(1).toString();
        destination.locationInfo = query.value(2).toString();
        destination.pending = query.value(3).toInt();
        if (!query.value(4).isNull())
            destination.oldest = query.value(4).toLongLong();
        at.insert(destination.storageId, destinations.size());
        destinations.append(destination);
    }
    // Rows of storage IDs that no destination names are not listed.
    const auto of = [&](const QSqlQuery &row) -> CachedDestination * {
        const auto index = at.constFind(row.value(0).toInt());
        return index == at.cend() ? nullptr : &destinations[*index];
    };
    return readSideTable(
               db, QStringLiteral("telemetry_setaside"),
               QStringLiteral(
                   "SELECT storageID, COUNT(*) FROM telemetry_setaside GROUP BY storageID"),
               [&](const QSqlQuery &row) {
                   if (CachedDestination *destination = of(row))
                       destination->setAside = row.value(1).toInt();
               },
               error)
        && readSideTable(
               db, QStringLiteral("telemetry_answers"),
               QStringLiteral("SELECT storageID, status, error, since FROM telemetry_answers"),
               [&](const QSqlQuery &row) {
                   if (CachedDestination *destination = of(row))
                       destination->lastAnswer
                           = DestinationAnswer { row.value(1).toInt(), row.value(2).toString(),
                                                 row.value(3).toLongLong() };
               },
               error)
        && readSideTable(
               db, kAccountTable,
               QStringLiteral("SELECT storageID, userName, COUNT(*) FROM "
                              "telemetry_accounts JOIN telemetry USING (id) GROUP BY "
                              "storageID, userName"),
               [&](const QSqlQuery &row) {
                   if (CachedDestination *destination = of(row))
                       destination->accounts.insert(row.value(1).toString(), row.value(2).toInt());
               },
               error);
}

} // namespace

std::optional<QVector<CachedDestination>> readCachedDestinations(QString *error)
{
    QVector<CachedDestination> destinations;
    if (!readCacheFile([&](const QSqlDatabase &db,
                           QString *why) { return readDestinations(db, destinations, why); },
                       BusyWait::BriefOnEventLoop, error))
        return std::nullopt;
    return destinations;
}

std::optional<QVector<CachedRecord>> readOldestCachedRecords(int storageId, int limit,
                                                             QString *error)
{
    QVector<CachedRecord> records;
    if (!readCacheFile(
            [&](const QSqlDatabase &db, QString *why) {
                QSqlQuery query(db);
                if (!execBound(query,
                               QStringLiteral("SELECT id, timestamp, recordData FROM telemetry "
                                              "WHERE storageID = ? ORDER BY timestamp LIMIT ?"),
                               { storageId, limit }, why))
                    return false;
                while (query.next())
                    records.append({ query.value(0).toString(), query.value(1).toLongLong(),
                                     query.value(2).toString() });
                return true;
            },
            BusyWait::BriefOnEventLoop, error))
        return std::nullopt;
    return records;
}

} // namespace kl::telemetry
