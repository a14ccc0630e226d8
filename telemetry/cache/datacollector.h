#pragma once

#include "telemetry/korveltelemetry_export.h"
#include "telemetry/runtime/runtime.h"

#include <QMap>
#include <QStringList>
#include <QVector>

#include <functional>
#include <limits>

class QObject;

namespace kl::telemetry {

class AbstractBucket;
class DataCollectorPrivate;

/// A record its destination kept refusing, waiting in the set-aside table of the cache file.
/// \ingroup application
struct SetAsideRecord
{
    QString id; ///< the record identifier, the document's "_id"
    long long timestamp = 0; ///< when it was cached, in ms since the epoch
    int storageId = 0; ///< the destination it was recorded for
    QString record; ///< the document, as it was cached
    QString reason; ///< the destination's error and reason
    long long setAsideAt = 0; ///< when it was set aside, in ms since the epoch
};

/// A record that a server stored, kept for the user to see.
/// \ingroup application
struct SentRecord
{
    QString id; ///< the document's "_id"
    long long sentAt = 0; ///< when the server stored it, in ms since the epoch
    QString location; ///< the destination's location info text, which holds no credentials
    QString record; ///< the document, as it was sent
};

/// The latest answer of a destination to a batch, kept in the cache file for every process.
/// \ingroup advanced
struct DestinationAnswer
{
    int httpStatus = 0; ///< 0 when no answer came (connection refused, time-out)
    QString error; ///< the server's error and reason, or the transfer error; empty when stored
    long long since = 0; ///< when the destination first answered so, in ms since the epoch
};

/**
 * The local cache: an in-memory queue of records and the SQLite table they are flushed into,
 * about a second after the queue got its first record, on a thread of the global pool. An idle
 * process has no flush timed.
 *
 * There is one per process, reached through currentDataCollector(). collect() never touches
 * the disk; flushes write only while they hold the machine-wide main lock, so that no upload
 * of any process is under way meanwhile. The exception is the write at exit, which goes in
 * without the lock once it has waited 3 s for it: SQLite serialises the writers, and an upload
 * deletes only the ids it sent. Every operation may be called from any thread. Failures are
 * logged, never thrown.
 *
 * When the application quits (QCoreApplication::aboutToQuit, or the collector's destruction
 * without one), the queue is written, waiting up to 3 s for the main lock.
 * \ingroup application advanced
 */
class KORVELTELEMETRY_EXPORT DataCollector
{
public:
    /// The collector; the process has one, currentDataCollector().
    DataCollector();
    /// Destroys the collector.
    ~DataCollector();

    /**
     * Opens the cache database (now, or at its first use off the calling thread), creates the
     * telemetry table when it is missing and times the flushes on the calling thread, which
     * must run an event loop. Only the first call does anything.
     */
    void initialize(CacheOpening opening = CacheOpening::Now);

    /// Queues one record; safe from any thread, never waits for SQL.
    void collect(const QString &id, long long timestamp, int storageId, const QString &record);
    /// The same, with the record document as UTF-8 JSON text, stored as it is.
    void collect(const QString &id, long long timestamp, int storageId, QByteArray record);
    /// The same, for a document written as a string literal: without it, a literal converts
    /// to both a QString and a QByteArray, and the call would be ambiguous.
    void collect(const QString &id, long long timestamp, int storageId, const char *record);

    /// Writes the queue into the cache, and schedules the next flush while rows are left. An
    /// empty queue takes no lock and touches no file. While telemetry is disabled it writes
    /// nothing.
    void flush();

    /**
     * The most records the cache file may hold, for all destinations together; 0 means no
     * bound. Past it, each flush drops the oldest cached records, with one warning that counts
     * them. 100 000 by default.
     */
    int maxCachedRecords() const;
    /// Sets maxCachedRecords(); any thread, applied from the next flush on.
    void setMaxCachedRecords(int records);

    /**
     * The most records queued in this process; 0 means no bound. While no flush can write
     * (another process holds the lock, the disk is full), each record past it drops the oldest
     * queued one, with one warning until a flush writes the queue. 10 000 by default.
     */
    int maxQueuedRecords() const;
    /// Sets maxQueuedRecords(); any thread, applied from the next record on.
    void setMaxQueuedRecords(int records);
    /**
     * How many days the records that servers stored are kept in the cache file for the user to
     * see, those made under a TelemetryConsent; 30 by default, 0 keeps none. Applied at the
     * next flush of such records.
     */
    int sentRecordsDays() const;
    /// Sets sentRecordsDays(); any thread.
    void setSentRecordsDays(int days);
    /// The most bytes of documents kept of sent records, the oldest going first; 10 MiB by
    /// default, 0 keeps none.
    qint64 maxSentRecordsBytes() const;
    /// Sets maxSentRecordsBytes(); any thread.
    void setMaxSentRecordsBytes(qint64 bytes);

    /**
     * The newest (at most @p limit) records that servers stored of @p application, newest
     * first, read through a read-only connection of the calling thread, which waits a moment
     * at most for another client; empty when there are none or the cache cannot be read, which
     * sets @p ok to false where given.
     */
    static QVector<SentRecord> sentRecords(const QString &application, int limit,
                                           bool *ok = nullptr);

    /// Records dropped from the queue at its bound since the process started.
    qint64 droppedQueuedRecords() const;

    /// Records queued in this process and not yet written into the cache.
    int getQueuedElementsCount();
    /// Drops every queued row; rows a running flush has taken already are not affected.
    void clearQueue();

    /// Rows in the cache table; 0 on failure.
    int getCachedElementsCount();
    /// Cached rows per destination, keyed by its location info text; empty on failure, which
    /// sets @p ok to false where given.
    QMap<QString, int> getCachedCountsByLocation(bool *ok = nullptr);
    /// Deletes every cached row.
    void clearCache();
    /**
     * The latest answer of each destination that any process of the user sent a batch to,
     * keyed by its location info text; empty on failure, which sets @p ok to false where given.
     */
    QMap<QString, DestinationAnswer> lastAnswersByLocation(bool *ok = nullptr);

    /**
     * Appends the ids and documents of the (at most 25) oldest cached records of @p storageId
     * to @p ids and @p records, pairwise, passing over those whose ids are in @p skipped (a
     * batch still out), and stopping before the record that would take the request body past
     * @p maxBytes (the UTF-8 documents and a comma each; the first record always comes). Only
     * the documents returned are read into memory. False, with both lists untouched, when the
     * query cannot run.
     *
     * The records read share one account, which @p account receives where given: no login,
     * or one of the user names in @p logins, whichever has the oldest record. Records of
     * other accounts are passed over: they wait for a process that can log in as theirs.
     * @p cutByBytes, where given, tells whether a record was left out for the byte bound.
     */
    bool getCacheByStorageId(int storageId, QStringList &ids, QStringList &records,
                             const QStringList &skipped = {},
                             qint64 maxBytes = std::numeric_limits<qint64>::max(),
                             const QStringList &logins = {}, QString *account = nullptr,
                             bool *cutByBytes = nullptr);
    /**
     * Cached records recorded with a login, per destination (keyed by its location info text)
     * and user name; empty on failure, which sets @p ok to false where given.
     */
    QMap<QString, QMap<QString, int>> accountCountsByLocation(bool *ok = nullptr);

    /// Deletes the cached records with the given ids in one transaction; false on failure,
    /// which is logged once until a delete succeeds again.
    bool deleteByIds(const QStringList &ids);

    /// Every set-aside record, in the order they were set aside; empty when there is none.
    QVector<SetAsideRecord> setAsideRecords();

    /// The result of a host call that returns at once: true when the change was made.
    using Done = std::function<void(bool done)>;

    /**
     * Moves the set-aside records @p ids back into the cache, where the publisher takes them up
     * again. Waits up to 2 s for the machine-wide main lock, which the library's own flushes
     * hold only for moments: false when it stays taken (another process may hold it: call again
     * later) or the change fails, in which case nothing changed. It blocks the calling thread
     * while it waits: for worker threads and tools, never for the application's main thread,
     * which uses the form with a callback.
     */
    bool retrySetAside(const QStringList &ids);
    /**
     * The same, returning at once: the call waits up to 10 s for the main lock on a thread of
     * the global pool, and @p done gets its result in the thread of @p context (not null), from
     * that thread's event loop; not at all once @p context is destroyed. Any thread.
     */
    void retrySetAside(const QStringList &ids, QObject *context, Done done);

    /// Deletes the set-aside records @p ids for good; lock, wait and result as for
    /// retrySetAside(), for worker threads.
    bool purgeSetAside(const QStringList &ids);
    /// The same, returning at once; the result comes as for retrySetAside() with a callback.
    void purgeSetAside(const QStringList &ids, QObject *context, Done done);

    /**
     * Drops every record of the destinations @p storageIds: those queued in this process, and
     * those cached or set aside by any process; other destinations keep theirs. Lock, wait and
     * result as for retrySetAside(), for worker threads: when it answers false the cache is
     * unchanged.
     */
    bool purgeDestinations(const QList<int> &storageIds);
    /// The same, returning at once; the result comes as for retrySetAside() with a callback.
    void purgeDestinations(const QList<int> &storageIds, QObject *context, Done done);

    /**
     * Same as AbstractBucket::purgeDestination(), which is where it belongs now: kept for
     * applications written before it moved. Defined with the buckets, which know their
     * destination.
     */
    bool purgeDestination(const AbstractBucket &bucket);

private:
    Q_DISABLE_COPY(DataCollector)
    friend class DataCollectorPrivate;
    DataCollectorPrivate *d;
};

/// The collector of the process.
/// \ingroup application
KORVELTELEMETRY_EXPORT DataCollector *currentDataCollector();

} // namespace kl::telemetry
