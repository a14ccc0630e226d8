// Records a destination keeps refusing wait in a table of their own, in the same cache file,
// until the host retries or purges them; purging whole destinations takes the same road. The
// publisher sets records aside on its thread, under the machine-wide main lock it holds for its
// upload; host calls wait a little for that lock on the caller's thread, or on a pool thread for
// the forms that report their result.

#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"

#include "telemetry/runtime/dispatch.h"
#include "telemetry/runtime/raiitransaction.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"
#include "telemetry/runtime/tables_p.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QThreadPool>

#include <algorithm>

namespace kl::telemetry {

namespace {

constexpr int kHostLockWaitMs = 2000;
// Nobody waits for a call that reports its result: it outwaits a slow holder of the lock.
constexpr int kHostCallLockWaitMs = 10000;

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

bool DataCollectorPrivate::setAside(const QString &id, const QString &reason)
{
    CacheDatabase &cache = m_cache;
    const ConnectionLocker locker = cache.lock();
    QSqlQuery create(cache.connection());
    QSqlQuery copy(cache.connection());
    RaiiTransaction transaction(cache.connection());
    if (!cache.connection().isOpen() || !transaction.open() || !create.exec(kCreateSetAsideTable)
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
        || !runPerId(cache.connection(),
                     QLatin1String("DELETE FROM telemetry WHERE ") + idMatches(), { id }))
        return false;
    transaction.markSuccessfull();
    return true;
}

// A walk over the read index finds the storage IDs in use with a few look-ups each, so that
// every pass can afford it.
std::optional<QSet<int>> DataCollectorPrivate::setAsideOrphans()
{
    // One step of the storage-ID index per storage ID; only orphans are counted.
    static const QString used = QStringLiteral(
        "WITH RECURSIVE used(storageID) AS (SELECT MIN(storageID) FROM telemetry UNION ALL "
        "SELECT (SELECT MIN(storageID) FROM telemetry WHERE storageID > used.storageID) FROM "
        "used WHERE used.storageID IS NOT NULL), seen AS (SELECT storageID, storageID IN "
        "(SELECT storageID FROM storages) AS known FROM used WHERE storageID IS NOT NULL) "
        "SELECT storageID, known, CASE WHEN known THEN 0 ELSE (SELECT COUNT(*) FROM telemetry "
        "WHERE telemetry.storageID = seen.storageID) END FROM seen");
    static const QString move = QStringLiteral(
        "INSERT OR REPLACE INTO telemetry_setaside SELECT id, timestamp, storageID, recordData, "
        "'its storage ID names no destination', %1 FROM telemetry WHERE storageID = ?");

    CacheDatabase &cache = m_cache;
    const ConnectionLocker locker = cache.lock();
    QSet<int> published;
    QMap<QString, int> counts;
    {
        const ReusedQuery query = cache.statement(used);
        if (!query.isPrepared() || !query->exec())
            return std::nullopt;
        while (query->next()) {
            if (query->value(1).toBool())
                published.insert(query->value(0).toInt());
            else
                counts.insert(query->value(0).toString(), query->value(2).toInt());
        }
    }
    if (counts.isEmpty())
        return published;

    const QStringList storageIds = counts.keys();
    QSqlQuery create(cache.connection());
    RaiiTransaction transaction(cache.connection());
    if (!transaction.open() || !create.exec(kCreateSetAsideTable)
        || !runPerId(cache.connection(), move.arg(QDateTime::currentMSecsSinceEpoch()), storageIds)
        || !runPerId(cache.connection(),
                     QStringLiteral("DELETE FROM telemetry WHERE storageID = ?"), storageIds)
        || !transaction.commit())
        return published;
    for (auto orphan = counts.cbegin(); orphan != counts.cend(); ++orphan)
        qCWarning(lcTelemetry).noquote()
            << QStringLiteral("%1 cached records set aside: their storage ID %2 names no "
                              "destination")
                   .arg(QString::number(orphan.value()), orphan.key());
    return published;
}

QVector<SetAsideRecord> DataCollector::setAsideRecords()
{
    QVector<SetAsideRecord> records;
    CacheDatabase &cache = d->m_cache;
    const ConnectionLocker locker = cache.lock();
    if (!cache.connection().tables(QSql::Tables).contains(QLatin1String("telemetry_setaside")))
        return records;
    QSqlQuery query(cache.connection());
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
    return d->withMainLock([d = d, &ids] { return d->retry(ids); });
}

void DataCollector::retrySetAside(const QStringList &ids, QObject *context, Done done)
{
    d->runHostCall([d = d, ids] { return d->retry(ids); }, context, std::move(done));
}

bool DataCollector::purgeSetAside(const QStringList &ids)
{
    return d->withMainLock([d = d, &ids] { return d->purge(ids); });
}

void DataCollector::purgeSetAside(const QStringList &ids, QObject *context, Done done)
{
    d->runHostCall([d = d, ids] { return d->purge(ids); }, context, std::move(done));
}

bool DataCollector::purgeDestinations(const QList<int> &storageIds)
{
    return d->withMainLock([d = d, &storageIds] { return d->purgeDestinations(storageIds); });
}

void DataCollector::purgeDestinations(const QList<int> &storageIds, QObject *context, Done done)
{
    d->runHostCall([d = d, storageIds] { return d->purgeDestinations(storageIds); }, context,
                   std::move(done));
}

bool DataCollectorPrivate::retry(const QStringList &ids)
{
    // A record cached again meanwhile under the same id is the same record: keep that one.
    return change({ QStringLiteral("INSERT OR IGNORE INTO telemetry (id, timestamp, storageID, "
                                   "recordData) SELECT id, timestamp, storageID, recordData FROM "
                                   "telemetry_setaside WHERE ")
                        + idMatches(),
                    QLatin1String("DELETE FROM telemetry_setaside WHERE ") + idMatches() },
                  ids);
}

bool DataCollectorPrivate::purge(const QStringList &ids)
{
    return change({ QLatin1String("DELETE FROM telemetry_setaside WHERE ") + idMatches() }, ids);
}

bool DataCollectorPrivate::purgeDestinations(const QList<int> &storageIds)
{
    m_queue.dropDestinations(storageIds);
    QStringList keys;
    for (const int storageId : storageIds)
        keys.append(QString::number(storageId));
    return change({ QStringLiteral("DELETE FROM telemetry WHERE storageID = ?"),
                    QStringLiteral("DELETE FROM telemetry_setaside WHERE storageID = ?") },
                  keys);
}

// A process that started without consent has not opened the cache file, yet the records made
// before that consent was withdrawn are in it. Opening it creates nothing.
void DataCollectorPrivate::openExistingCacheFile()
{
    if (isInitialized() && !m_cache.isOpen() && QFileInfo::exists(getCacheDataBaseLocation()))
        m_cache.makeUsable(m_queue);
}

// Every write to the cache file is made under the main lock. A flush holds it for moments, so
// a host's call waits that long rather than fail because of the library's own work.
bool DataCollectorPrivate::withMainLock(const std::function<bool()> &change)
{
    SingleExecutor mainLock(QString::fromLatin1(kMainLockName));
    return mainLock.tryToRunFor(kHostLockWaitMs) && changeAndTell(change);
}

// The wait for the lock happens on a pool thread. The flush gate, which keeps the collector
// alive, is held only while the lock is tried and the change made, so that neither a flush
// nor the write at exit waits for this call's wait.
void DataCollectorPrivate::runHostCall(std::function<bool()> change, QObject *context,
                                       DataCollector::Done done)
{
    Q_ASSERT(context);
    auto task = [gate = m_gate, change = std::move(change), thread = context->thread(),
                 context = QPointer<QObject>(context), done = std::move(done)] {
        const bool result = changeWhenLocked(*gate, change);
        dispatchToThread(thread, 0, [context, done, result] {
            if (context)
                done(result);
        });
    };
    QThreadPool::globalInstance()->start(new Task<decltype(task)>(task), 0);
}

/*
 * Waits in the lock's queue in slices, without the gate: a flush holds the gate while it waits
 * for the lock, and between slices this task sees a collector that has gone (the pool waits
 * for it at exit). Holding the lock it only tries the gate, and gives the lock back to a flush
 * that has it.
 */
bool DataCollectorPrivate::changeWhenLocked(FlushGate &gate, const std::function<bool()> &change)
{
    constexpr qint64 kSliceMs = 100;
    const QDeadlineTimer deadline(kHostCallLockWaitMs);
    SingleExecutor mainLock(QString::fromLatin1(kMainLockName));
    for (;;) {
        if (mainLock.tryToRunFor(int(qBound<qint64>(0, deadline.remainingTime(), kSliceMs)))) {
            if (gate.mutex.tryLock()) {
                const bool result = gate.open && changeAndTell(change);
                gate.mutex.unlock();
                return result;
            }
            mainLock.release();
        }
        QMutexLocker locker(&gate.mutex);
        if (!gate.open || deadline.hasExpired())
            return false;
    }
}

// Under the main lock, as after a flush, so that the status counts what the change left.
bool DataCollectorPrivate::changeAndTell(const std::function<bool()> &change)
{
    if (!change())
        return false;
    afterFlush().call(true);
    return true;
}

// The caller holds the main lock.
bool DataCollectorPrivate::change(const QStringList &statements, const QStringList &ids)
{
    const ConnectionLocker locker = m_cache.lock();
    const QSqlDatabase &db = m_cache.connection();
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
