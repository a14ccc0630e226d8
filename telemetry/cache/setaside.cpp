// Records a destination keeps refusing wait in a table of their own, in the same cache file,
// until the host retries or purges them; purging whole destinations takes the same road. The
// publisher sets records aside on its thread, under the machine-wide main lock it holds for its
// upload; host calls, on any thread, wait a little for that lock.

#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"

#include "telemetry/runtime/raiitransaction.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"
#include "telemetry/runtime/tables_p.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>

namespace kl::telemetry {

namespace {

constexpr int kHostLockWaitMs = 2000;

const QString kCreateSetAsideTable = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS telemetry_setaside(id BLOB NOT NULL PRIMARY KEY, "
    "timestamp INTEGER NOT NULL, storageID INTEGER NOT NULL, recordData TEXT NOT NULL, "
    "reason TEXT NOT NULL, setAsideAt INTEGER NOT NULL)");

// Runs @p statement once per id, binding the id to each of its placeholders.
bool runPerId(const QSqlDatabase &db, const QString &statement, const QStringList &ids)
{
    QSqlQuery query(db);
    if (execPerId(query, statement, ids))
        return true;
    qCWarning(lcTelemetry) << "Set-aside records: statement failed:" << query.lastError();
    return false;
}

} // namespace

bool DataCollector::setAside(const QString &id, const QString &reason)
{
    CacheDatabase &cache = d->m_cache;
    ConnectionLocker locker(&cache.m_mutex, cache.m_db);
    QSqlQuery create(cache.m_db);
    QSqlQuery copy(cache.m_db);
    RaiiTransaction transaction(cache.m_db);
    if (!cache.m_db.isOpen() || !transaction.open() || !create.exec(kCreateSetAsideTable)
        || !copy.prepare(QStringLiteral("INSERT OR REPLACE INTO telemetry_setaside SELECT id, "
                                        "timestamp, storageID, recordData, ?, ? FROM telemetry "
                                        "WHERE ")
                         + idMatches()))
        return false;
    copy.addBindValue(reason);
    copy.addBindValue(QDateTime::currentMSecsSinceEpoch());
    for (int placeholder = idMatches().count(QLatin1Char('?')); placeholder > 0; --placeholder)
        copy.addBindValue(id);
    if (!copy.exec() || copy.numRowsAffected() != 1
        || !runPerId(cache.m_db, QLatin1String("DELETE FROM telemetry WHERE ") + idMatches(),
                     { id }))
        return false;
    transaction.markSuccessfull();
    return true;
}

// A walk over the read index finds the storage IDs in use with a few look-ups each, so that
// every pass can afford it.
int DataCollector::setAsideOrphans()
{
    static const QString orphans = QStringLiteral(
        "WITH RECURSIVE used(storageID) AS (SELECT MIN(storageID) FROM telemetry UNION ALL "
        "SELECT (SELECT MIN(storageID) FROM telemetry WHERE storageID > used.storageID) FROM "
        "used WHERE used.storageID IS NOT NULL) SELECT storageID, (SELECT COUNT(*) FROM "
        "telemetry WHERE telemetry.storageID = used.storageID) FROM used WHERE storageID IS "
        "NOT NULL AND storageID NOT IN (SELECT storageID FROM storages)");
    static const QString move = QStringLiteral(
        "INSERT OR REPLACE INTO telemetry_setaside SELECT id, timestamp, storageID, recordData, "
        "'its storage ID names no destination', %1 FROM telemetry WHERE storageID = ?");

    CacheDatabase &cache = d->m_cache;
    ConnectionLocker locker(&cache.m_mutex, cache.m_db);
    QSqlQuery query(cache.m_db);
    QMap<QString, int> counts;
    if (!query.exec(orphans))
        return 0;
    while (query.next())
        counts.insert(query.value(0).toString(), query.value(1).toInt());
    if (counts.isEmpty())
        return 0;

    const QStringList storageIds = counts.keys();
    QSqlQuery create(cache.m_db);
    RaiiTransaction transaction(cache.m_db);
    if (!transaction.open() || !create.exec(kCreateSetAsideTable)
        || !runPerId(cache.m_db, move.arg(QDateTime::currentMSecsSinceEpoch()), storageIds)
        || !runPerId(cache.m_db, QStringLiteral("DELETE FROM telemetry WHERE storageID = ?"),
                     storageIds)
        || !transaction.commit())
        return 0;
    int moved = 0;
    for (auto orphan = counts.cbegin(); orphan != counts.cend(); ++orphan) {
        qCWarning(lcTelemetry).noquote()
            << QStringLiteral("%1 cached records set aside: their storage ID %2 names no "
                              "destination")
                   .arg(QString::number(orphan.value()), orphan.key());
        moved += orphan.value();
    }
    return moved;
}

QVector<SetAsideRecord> DataCollector::setAsideRecords()
{
    QVector<SetAsideRecord> records;
    CacheDatabase &cache = d->m_cache;
    ConnectionLocker locker(&cache.m_mutex, cache.m_db);
    if (!cache.m_db.tables(QSql::Tables).contains(QLatin1String("telemetry_setaside")))
        return records;
    QSqlQuery query(cache.m_db);
    if (!query.exec(QStringLiteral("SELECT CAST(id AS TEXT), timestamp, storageID, recordData, "
                                   "reason, setAsideAt FROM telemetry_setaside ORDER BY "
                                   "setAsideAt"))) {
        qCWarning(lcTelemetry) << "Set-aside records: statement failed:" << query.lastError();
        return records;
    }
    while (query.next())
        records.append({ query.value(0).toString(), query.value(1).toLongLong(),
                         query.value(2).toInt(), query.value(3).toString(),
                         query.value(4).toString(), query.value(5).toLongLong() });
    return records;
}

bool DataCollector::retrySetAside(const QStringList &ids)
{
    // A record cached again meanwhile under the same id is the same record: keep that one.
    return d->changeUnderMainLock(
        { QStringLiteral("INSERT OR IGNORE INTO telemetry (id, timestamp, storageID, "
                         "recordData) SELECT id, timestamp, storageID, recordData FROM "
                         "telemetry_setaside WHERE ")
              + idMatches(),
          QLatin1String("DELETE FROM telemetry_setaside WHERE ") + idMatches() },
        ids);
}

bool DataCollector::purgeSetAside(const QStringList &ids)
{
    return d->changeUnderMainLock(
        { QLatin1String("DELETE FROM telemetry_setaside WHERE ") + idMatches() }, ids);
}

bool DataCollector::purgeDestinations(const QList<int> &storageIds)
{
    d->m_queue.dropDestinations(storageIds);
    QStringList keys;
    for (const int storageId : storageIds)
        keys.append(QString::number(storageId));
    return d->changeUnderMainLock(
        { QStringLiteral("DELETE FROM telemetry WHERE storageID = ?"),
          QStringLiteral("DELETE FROM telemetry_setaside WHERE storageID = ?") },
        keys);
}

// A process that started without consent has not opened the cache file, yet the records made
// before that consent was withdrawn are in it. Opening it creates nothing.
void DataCollectorPrivate::openExistingCacheFile()
{
    if (!isInitialized() || m_cache.isOpen() || !QFileInfo::exists(getCacheDataBaseLocation()))
        return;
    SingleExecutor mainLock(QString::fromLatin1(kMainLockName));
    if (mainLock.tryToRunFor(kHostLockWaitMs))
        m_cache.makeUsable(m_queue);
}

// Writes under the main lock, as every write to the cache file does. A flush holds it for
// moments, so a host's call waits that long rather than fail because of the library's own work.
bool DataCollectorPrivate::changeUnderMainLock(const QStringList &statements,
                                               const QStringList &ids)
{
    SingleExecutor mainLock(QString::fromLatin1(kMainLockName));
    if (!mainLock.tryToRunFor(kHostLockWaitMs))
        return false;
    ConnectionLocker locker(&m_cache.m_mutex, m_cache.m_db);
    const QSqlDatabase &db = m_cache.m_db;
    QSqlQuery create(db);
    RaiiTransaction transaction(db);
    if (!db.isOpen() || !transaction.open() || !create.exec(kCreateSetAsideTable))
        return false;
    if (!std::all_of(statements.begin(), statements.end(), [&db, &ids](const QString &statement) {
            return runPerId(db, statement, ids);
        }))
        return false;
    transaction.markSuccessfull();
    return true;
}

} // namespace kl::telemetry
