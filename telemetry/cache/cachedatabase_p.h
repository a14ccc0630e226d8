#pragma once

#include "telemetry/cache/recordqueue_p.h"
#include "telemetry/cache/recordtable_p.h"
#include "telemetry/runtime/cachefile_p.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/statementcache_p.h"
#include "telemetry/runtime/tables_p.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QSqlDatabase>
#include <QSqlQuery>

namespace kl::telemetry {

/// The user name of each cached record recorded with a login, by its id; never a password.
constexpr QLatin1String kAccountTable("telemetry_accounts");

/**
 * The condition that an id cell names a given id, for statements run through execPerId().
 * Other clients may have written an id as an integer, a real or a blob, which a text never
 * equals: each type is looked up through the primary key, and the text SQLite makes of the
 * cell, which is what the library reads as the id, must be the id.
 */
inline QString idMatches()
{
    return QStringLiteral("id IN (?, CAST(? AS INTEGER), CAST(? AS REAL), CAST(? AS BLOB)) AND "
                          "CAST(id AS TEXT) = ?");
}

/// Prepares @p statement and runs it once per id of @p ids, with the id bound to each of its
/// placeholders; false, with the error in @p query, when it fails.
bool execPerId(QSqlQuery &query, const QString &statement, const QStringList &ids);
/// As execPerId(), for a statement prepared once; false when it could not be.
bool execPerId(const ReusedQuery &query, const QStringList &ids);

/// "(?, ?, …)" with @p count placeholders, for a statement kept per count.
QString placeholders(int count);

class CacheDatabase;
/**
 * Runs "@p statement (?, …)", kept prepared, over @p ids a batch at a time (older SQLite takes
 * 999 values per statement), each with @p leading bound first; with the connection's mutex
 * held. The rows it changed, or -1 when it could not run.
 */
int runInBatches(CacheDatabase &cache, const QString &statement, const QStringList &ids,
                 const QVariantList &leading = {});

/// Whether the caller holds the machine-wide main lock; at exit a flush may go in without it.
enum class MainLock { Held, NotHeld };

enum class CommitsToSync {
    OneMore, ///< a commit on the cache file has just succeeded
    OneThatShrinksTheFile, ///< a commit that freed pages: synced now, which gives them back
    Waiting, ///< only those that earlier calls left unsynced
    /// a commit on the cache file has just succeeded on a thread that must not wait for the
    /// sync: the flush's next run makes it
    OneMoreForTheFlush,
};

enum class CacheSync {
    None, ///< every commit of the process is durable
    Waiting, ///< some are not, and their sync is not due yet
    Due, ///< a sync, or a look at the free pages that deletes left, for the next flush
};

/**
 * The collector's connection to the cache file, and the file's life under it: opening it and
 * creating the record table, noticing that it was deleted, replaced or emptied, opening it
 * again and re-keying the queue for it, writing a batch, keeping the record bound.
 *
 * makeUsable() and the writes run under the machine-wide main lock, on the pool thread that
 * flushes or on the publisher's thread (or at exit, past a wait for that lock). The
 * connection serves host calls on any thread too: every use of m_db, here and in the queries,
 * holds lock(). Lock order: main lock, queue mutex, lock(); nothing takes the queue mutex
 * while it holds lock().
 */
class CacheDatabase
{
public:
    /// Adds the connection and opens it, unless telemetry is disabled (no file is created
    /// before consent); until it opens, rows wait under provisional storage IDs.
    void start(CacheOpening opening);
    bool isOpen();

    /**
     * Makes the cache file fit for a write or a read: opens it when it could not be opened so
     * far, again when it was replaced since, re-keys @p queue for it and, under the main lock,
     * has it keep a write-ahead log. Call it under the main lock unless @p lock says that an
     * exit could not wait for it; false while the cache cannot be used, said once per run of
     * failures.
     */
    bool makeUsable(RecordQueue &queue, MainLock lock = MainLock::Held);

    /// Inserts @p rows in one transaction, and syncs the commits when due under the main lock;
    /// false, with SQLite's reason in @p error, when the batch is not stored (the commit
    /// included).
    bool write(const RecordQueue::Rows &rows, MainLock lock, QString *error);
    /**
     * Makes the process's commits durable, with a checkpoint, when some are not and none was
     * made for a few seconds; a power cut can thus cost the commits of those seconds, never
     * the file. Call it under the main lock, under lock(), outside a transaction. A file
     * that is not the one opened any more is left alone: the checkpoint would write the former
     * content into it. In a file without a write-ahead log every commit was synced already.
     */
    void syncCommitsIfDue(CommitsToSync commits);
    /// Syncs the commits that earlier calls left unsynced, when due, and gives back the free
    /// pages that deletes left; under the main lock.
    void syncWaitingCommits();
    CacheSync syncState();
    /// Drops the oldest records beyond @p bound (0: none), with one warning that counts them.
    void dropOldestBeyondBound(int bound);
    /// The file's free pages, when there are enough to give back; 0 otherwise. Under lock().
    qint64 freePagesToGiveBack();
    /// Gives the file's free pages back once they are most of it; under lock(), outside
    /// a transaction.
    void giveBackFreePages();
    /// Gives back the memory that a burst of work left with the connection's page cache and
    /// the C library's heap.
    void releaseMemory();

    /// @p sql prepared once for the open connection; under lock().
    ReusedQuery statement(const QString &sql) { return m_statements.prepared(m_db, sql); }

    /// Keeps every other thread off the connection until the locker goes, and gives it the
    /// calling thread's busy time-out: each use of connection() is made under one.
    ConnectionLocker lock(BusyWait wait = BusyWait::BriefOnEventLoop)
    {
        return ConnectionLocker(&m_mutex, m_db, wait);
    }
    /// The connection to the cache file; use it under lock() only.
    const QSqlDatabase &connection() const { return m_db; }

    // Under lock(): a delete failed and nothing has been deleted since (a full disk, or a
    // trigger of another client), so the next failure goes unsaid.
    bool m_deleteFailing = false;
    // Under lock(): deletes left free pages enough to give back, which the next flush does.
    bool m_pagesFreed = false;

private:
    QMutex m_mutex;
    QSqlDatabase m_db;

    enum class Opening { Opened, Busy, Failed };
    Opening open();
    qint64 pragmaValue(const QString &name);
    RecordTable makeTable();
    bool insert(const RecordQueue::Rows &rows, QString *error);
    bool replaced();
    bool rekey(RecordQueue &queue);
    enum class Lookup { InFile, InMemory };
    bool lookUpStorageIds(const RecordQueue &queue, QHash<int, int> *newIds, Lookup lookup) const;

    // Used under the main lock. Queued rows wait for re-keying after the file was reopened, or
    // while storage IDs were provisional.
    FileIdentity m_fileIdentity;
    bool m_rekeyPending = false;
    bool m_dropUnknownRows = false;
    bool m_openFailing = false;
    bool m_unusableSaid = false;
    // The record table was found fit since the file opened; this connection has found it in
    // the file; making it failed, which was said.
    bool m_tableReady = false;
    bool m_tableSeen = false;
    bool m_tableFailing = false;
    // Under m_mutex: the statements prepared on the open connection.
    StatementCache m_statements;
    // Whether the open connection's file keeps a write-ahead log.
    bool m_logKept = false;
    // Under m_mutex: commits that no checkpoint has synced yet, and the time since the last.
    bool m_unsynced = false;
    QElapsedTimer m_sinceSync;
};

} // namespace kl::telemetry
