#include "telemetry/cache/cachedatabase_p.h"

#include "telemetry/cache/batchinsert_p.h"
#include "telemetry/cache/consentstore_p.h"
#include "telemetry/cache/recordtable_p.h"
#include "telemetry/cache/usage_p.h"
#include "telemetry/runtime/consent_p.h"
#include "telemetry/runtime/raiitransaction.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/tables_p.h"

#include <QHash>
#include <QReadWriteLock>
#include <QSqlError>
#include <QSqlQuery>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace kl::telemetry {

namespace {

constexpr int kNoStorage = -1;

// A power cut can cost the commits of this long.
bool isSyncDue(const QElapsedTimer &sinceSync)
{
    constexpr qint64 kSyncIntervalMs = 5000;
    return !sinceSync.isValid() || sinceSync.hasExpired(kSyncIntervalMs);
}

// Rows without a login, the common case, cost no write here.
bool insertAccounts(const QSqlDatabase &db, const RecordQueue::Rows &rows, QString *error)
{
    QVariantList ids;
    QVariantList accounts;
    for (const QueuedRow &row : rows) {
        if (!row.account.isEmpty()) {
            ids.append(row.id);
            accounts.append(row.account);
        }
    }
    if (ids.isEmpty())
        return true;
    QSqlQuery insert(db);
    if (insert.prepare(
            QStringLiteral("INSERT OR REPLACE INTO %1 VALUES (?, ?)").arg(kAccountTable))) {
        insert.addBindValue(ids);
        insert.addBindValue(accounts);
        if (insert.execBatch())
            return true;
    }
    *error = insert.lastError().databaseText();
    return false;
}

bool execPreparedPerId(QSqlQuery &query, const QStringList &ids)
{
    QVariantList values;
    values.reserve(ids.size());
    for (const QString &id : ids)
        values.append(id);
    for (int placeholder = query.lastQuery().count(QLatin1Char('?')); placeholder > 0;
         --placeholder)
        query.addBindValue(values);
    return query.execBatch();
}

} // namespace

bool execPerId(QSqlQuery &query, const QString &statement, const QStringList &ids)
{
    return query.prepare(statement) && execPreparedPerId(query, ids);
}

bool execPerId(const ReusedQuery &query, const QStringList &ids)
{
    return query.isPrepared() && execPreparedPerId(*query, ids);
}

// Opened later, the file is opened, and the queue re-keyed, as after a failed open; the SQL
// driver loads only then too.
void CacheDatabase::start(CacheOpening opening)
{
    m_rekeyPending
        = opening == CacheOpening::AtFirstUse || !isTelemetryEnabled() || open() != Opening::Opened;
}

// Asks for the location again each time, which retries creating the cache directory. A
// failure is said once, until the file has opened again; a busy file is no failure.
CacheDatabase::Opening CacheDatabase::open()
{
    ConnectionLocker locker(&m_mutex, m_db);
    if (!m_db.isValid())
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), kCacheConnectionName);
    m_db.setDatabaseName(getCacheDataBaseLocation());
    keepCacheFilePrivate(m_db.databaseName());
    if (!m_db.open()) {
        if (!std::exchange(m_openFailing, true))
            qCCritical(lcTelemetry) << "Connection to database failed" << m_db.lastError().text();
        return Opening::Failed;
    }
    // Briefly, as the table creation holds the main lock: what keeps it out may be another
    // process's connection to a file emptied under it, which lets go once that process can
    // take the lock and notice.
    applyBusyTimeout(m_db, BusyWait::Brief);
    setUpCacheConnection(m_db);
    m_tableSeen = false;
    if (makeTable() == RecordTable::Busy) { // another client holds the file
        m_statements.close(m_db); // the next flush opens it again
        return Opening::Busy;
    }
    if (std::exchange(m_openFailing, false))
        qCInfo(lcTelemetry) << "Connection to database restored";
    m_fileIdentity = fileIdentity(m_db.databaseName());
    m_logKept = false;
    return Opening::Opened;
}

// With m_mutex held; 0 when the pragma cannot be read.
qint64 CacheDatabase::pragmaValue(const QString &name)
{
    const ReusedQuery query = statement(QLatin1String("PRAGMA ") + name);
    return query.isPrepared() && query->exec() && query->next() ? query->value(0).toLongLong() : 0;
}

// Runs with m_mutex held. What a tool that holds the table lock, or a failure, keeps from being
// made is tried again by the next use of the cache.
RecordTable CacheDatabase::makeTable()
{
    QSqlError error;
    RecordTable table = ensureRecordTable(m_db, &m_tableSeen, &error);
    // Made with the record table in a new file; a file of an older version may lack them.
    if (isThere(table) && !execAll(m_db, sideTableStatements(), &error)) {
        table = isBusy(error) ? RecordTable::Busy : RecordTable::Failed;
    }
    m_tableReady = isThere(table);
    if (table != RecordTable::Failed)
        m_tableFailing = false;
    else if (!std::exchange(m_tableFailing, true))
        qCCritical(lcTelemetry) << "Cache database creation failed" << error.text();
    return table;
}

// Waits for an open still in progress in start(), so that the answer is final.
bool CacheDatabase::isOpen()
{
    QMutexLocker locker(&m_mutex);
    return m_db.isOpen();
}

// A file is another one when its path names another inode, or when it was emptied (SQLite
// files never shrink to nothing), or when its storages say otherwise than this process knows.
bool CacheDatabase::replaced()
{
    const FileIdentity seen = fileIdentity(m_db.databaseName());
    const bool emptied = seen.size == 0 && m_fileIdentity.size > 0;
    const bool other = !seen.sameFileAs(m_fileIdentity) || emptied;
    m_fileIdentity = seen;
    return other || !storageIdKeeper()->namesSameDestinations();
}

bool CacheDatabase::makeUsable(RecordQueue &queue, MainLock lock)
{
    StorageIdKeeper *registry = storageIdKeeper();
    if (isOpen() && replaced()) {
        qCWarning(lcTelemetry) << "Cache database was deleted, replaced or emptied; reopening it";
        {
            QMutexLocker locker(&m_mutex);
            m_statements.close(m_db);
        }
        registry->close();
        m_rekeyPending = m_dropUnknownRows = true;
    }
    const Opening opening = isOpen() ? Opening::Opened : open();
    if (opening == Opening::Opened) {
        if (registry->needsOpening()) {
            m_rekeyPending = true;
            if (!registry->reopen())
                return false;
        }
        m_rekeyPending = m_rekeyPending || registry->hasProvisionalIds();
        m_unusableSaid = false;
        if (!m_tableReady || (lock == MainLock::Held && !m_logKept)) {
            ConnectionLocker locker(&m_mutex, m_db, BusyWait::Brief);
            if (!m_tableReady)
                makeTable();
            if (lock == MainLock::Held && !m_logKept)
                m_logKept = keepWriteAheadLog(m_db);
        }
        return m_tableReady && (!m_rekeyPending || rekey(queue));
    }
    if (opening == Opening::Failed && !std::exchange(m_unusableSaid, true))
        qCWarning(lcTelemetry) << "Flush operation aborted, connection to database is closed.";
    return false;
}

// Rows queued for the older file, or under provisional IDs, are keyed by their destinations'
// IDs in this one. The generation moves on with the queue, so that every bucket asks again.
// The registry's look-ups reach SQLite: they run without the queue's mutex, which collect()
// takes, and without the generation lock, which a bucket takes for each record. Rows queued
// meanwhile under IDs not looked up yet are answered under that lock from the registry's
// memory, a new destination's rows keeping a provisional ID until the next flush.
bool CacheDatabase::rekey(RecordQueue &queue)
{
    QHash<int, int> newIds;
    if (!lookUpStorageIds(queue, &newIds, Lookup::InFile))
        return false;
    QWriteLocker generationLocker(&cacheFileLock());
    int dropped = 0;
    while (!queue.rekey(newIds, &dropped)) {
        if (!lookUpStorageIds(queue, &newIds, Lookup::InMemory))
            return false;
    }
    storageIdKeeper()->keepStorageIds(newIds);
    bumpCacheFileGeneration();
    m_rekeyPending = m_dropUnknownRows = false;
    if (dropped)
        qCWarning(lcTelemetry) << "Dropped queued records whose destination is unknown:" << dropped;
    return true;
}

// False when the registry cannot tell for one of them now.
bool CacheDatabase::lookUpStorageIds(const RecordQueue &queue, QHash<int, int> *newIds,
                                     Lookup lookup) const
{
    StorageIdKeeper *registry = storageIdKeeper();
    const QSet<int> storageIds = queue.storageIdsOutside(*newIds);
    for (const int storageId : storageIds) {
        std::optional<int> id = lookup == Lookup::InFile
            ? registry->storageIdInCurrentFile(storageId)
            : registry->storageIdInMemory(storageId);
        // An ID the registry did not hand out came from the host. It means nothing in a
        // replaced file, but may be kept while this process has known no other file.
        if (id == kNoStorage && storageId > 0 && !m_dropUnknownRows)
            id = storageId;
        if (!id)
            return false;
        newIds->insert(storageId, *id);
    }
    return true;
}

// A commit can fail after every insert went well, so it is made here, not at destruction: a
// batch must go back to the queue unless it is stored.
bool CacheDatabase::insert(const RecordQueue::Rows &rows, QString *error)
{
    RaiiTransaction transaction(m_db);
    if (!transaction.open()) {
        *error = transaction.lastError().databaseText();
        return false;
    }
    if (!insertRows(m_db, insertRecordStatement(), rows, error)
        || !insertAccounts(m_db, rows, error) || !keepLevels(m_db, rows, error)
        || !usageLedger().write(m_db, error))
        return false;
    if (!transaction.commit()) {
        *error = transaction.lastError().databaseText();
        return false;
    }
    usageLedger().committed();
    return true;
}

// A table that another client renamed, dropped or altered since is made anew, by this
// process or another one meanwhile, and the batch written into it. One that was there all along
// failed the insert otherwise (a lock): a second would only wait as long again.
bool CacheDatabase::write(const RecordQueue::Rows &rows, MainLock lock, QString *error)
{
    ConnectionLocker locker(&m_mutex, m_db);
    const auto tableNowThere = [this, error] {
        const bool missed = error->contains(QLatin1String("no such table"));
        const RecordTable table = makeTable();
        return table == RecordTable::Made || table == RecordTable::MadeByAnother
            || (missed && table == RecordTable::Ready);
    };
    if (!insert(rows, error) && (!tableNowThere() || !insert(rows, error)))
        return false;
    // Past a stopped holder too: the log would grow for as long as it stays stopped, up to a
    // full disk, where no checkpoint finds the room to empty it.
    syncCommitsIfDue(CommitsToSync::OneMore);
    if (lock == MainLock::Held)
        giveBackFreePages();
    if (!rows.isEmpty())
        qCDebug(lcTelemetry) << "Commited" << rows.size() << "records to cache";
    return true;
}

void CacheDatabase::syncCommitsIfDue(CommitsToSync commits)
{
    // The commits of a file that was closed, being gone or emptied, went with it.
    m_unsynced = m_logKept && m_db.isOpen() && (m_unsynced || commits != CommitsToSync::Waiting);
    if (!m_unsynced || commits == CommitsToSync::OneMoreForTheFlush
        || (commits != CommitsToSync::OneThatShrinksTheFile && !isSyncDue(m_sinceSync)))
        return;
    const FileIdentity seen = fileIdentity(m_db.databaseName());
    if (seen.sameFileAs(m_fileIdentity) && seen.size > 0)
        QSqlQuery(m_db).exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"));
    m_sinceSync.start();
    m_unsynced = false;
}

void CacheDatabase::syncWaitingCommits()
{
    ConnectionLocker locker(&m_mutex, m_db);
    syncCommitsIfDue(CommitsToSync::Waiting);
    giveBackFreePages();
}

CacheSync CacheDatabase::syncState()
{
    QMutexLocker locker(&m_mutex);
    if (m_pagesFreed)
        return CacheSync::Due; // a file without a write-ahead log gets its pages back too
    if (!m_unsynced)
        return CacheSync::None;
    return isSyncDue(m_sinceSync) ? CacheSync::Due : CacheSync::Waiting;
}

// Deleted rows leave free pages that SQLite keeps for good; once they are most of a file of
// some size they go back to the file system.
qint64 CacheDatabase::freePagesToGiveBack()
{
    constexpr qint64 kMinFreePages = 256;
    const qint64 freePages = pragmaValue(QStringLiteral("freelist_count"));
    const bool worthIt
        = freePages >= kMinFreePages && 2 * freePages >= pragmaValue(QStringLiteral("page_count"));
    return worthIt ? freePages : 0;
}

// A file made before incremental vacuum needs one whole VACUUM to take them up, which copies
// what is left: less than half.
void CacheDatabase::giveBackFreePages()
{
    m_pagesFreed = false;
    const qint64 freePages = freePagesToGiveBack();
    if (freePages == 0)
        return;
    QSqlQuery query(m_db);
    if (pragmaValue(QStringLiteral("auto_vacuum")) != kIncrementalVacuum) {
        // It needs room for a copy: on a full disk it waits for the next delete.
        if (query.exec(QStringLiteral("VACUUM")))
            syncCommitsIfDue(CommitsToSync::OneThatShrinksTheFile);
        else
            qCDebug(lcTelemetry) << "VACUUM of the cache failed:" << query.lastError();
        return;
    }
    // Each step frees one page, and Qt runs one step per exec() of a statement like this one,
    // which has no columns. One transaction makes it one commit.
    RaiiTransaction transaction(m_db);
    if (!transaction.open() || !query.prepare(QStringLiteral("PRAGMA incremental_vacuum")))
        return;
    for (qint64 page = 0; page < freePages && query.exec(); ++page) { }
    query.finish(); // a statement still stepping would fail the commit
    if (transaction.commit())
        syncCommitsIfDue(CommitsToSync::OneThatShrinksTheFile); // the log holds the shrinking
}

// A backlog's records, freed once written or sent, and the pages read meanwhile would stay
// with the process for good.
void CacheDatabase::releaseMemory()
{
    {
        ConnectionLocker locker(&m_mutex, m_db);
        if (m_db.isOpen())
            QSqlQuery(m_db).exec(QStringLiteral("PRAGMA shrink_memory"));
    }
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

// Rowids grow with each insert, so their span bounds the row count from above and costs
// two index look-ups; the count runs only when the span passes the bound.
void CacheDatabase::dropOldestBeyondBound(int bound)
{
    if (bound <= 0)
        return;
    ConnectionLocker locker(&m_mutex, m_db);
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("SELECT MAX(rowid) - MIN(rowid) + 1 FROM telemetry"))
        || !query.next() || query.value(0).toLongLong() <= bound)
        return;
    const std::optional<int> rows = countRows(m_db, kRecordTable);
    if (!rows || *rows <= bound)
        return;
    const int excess = *rows - bound;
    if (!query.exec(QStringLiteral("DELETE FROM telemetry WHERE rowid IN (SELECT rowid FROM "
                                   "telemetry ORDER BY rowid LIMIT %1)")
                        .arg(excess))) {
        qCWarning(lcTelemetry) << "Cache bound: dropping the oldest records failed"
                               << query.lastError();
        return;
    }
    qCWarning(lcTelemetry) << "Cache bound reached, dropped the oldest records:" << excess;
}

} // namespace kl::telemetry
