#pragma once

#include "telemetry/korveltelemetry_export.h"

#include <QStringList>

namespace kl::telemetry {

class DataCollectorPrivate;

/**
 * The local cache: an in-memory queue of records and the SQLite table they are flushed into,
 * about once a second, on a thread of the global pool.
 *
 * There is one per process, reached through currentDataCollector(). collect() never touches
 * the disk; flushes write only while they hold the machine-wide main lock, so writing and
 * publishing the cache never overlap in any process. Failures are logged, never thrown.
 */
class KORVELTELEMETRY_EXPORT DataCollector
{
public:
    DataCollector();
    ~DataCollector();

    /**
     * Opens the cache database, creates the telemetry table when it is missing and starts the
     * flush cycle on the calling thread, which must run an event loop. Only the first call
     * does anything.
     */
    void initialize();

    /// Queues one record; safe from any thread, never waits for SQL.
    void collect(const QString &id, long long timestamp, int storageId, const QString &record);

    /// Writes the queue into the cache and schedules the next flush. Each outside call starts
    /// one more chain of flushes.
    void flush();

    /**
     * Opens the cache database when it could not be opened so far, or again when its file was
     * deleted, replaced or emptied since it was opened, and gives the queued rows their
     * destinations' storage IDs in that file. Call it only while holding the machine-wide main
     * lock, as the flush and the publisher do; false while the cache cannot be used.
     */
    bool checkCacheFile();

    int getQueuedElementsCount();
    /// Drops every queued row; rows a running flush has taken already are not affected.
    void clearQueue();

    /// Rows in the cache table; 0 on failure.
    int getCachedElementsCount();
    /// Deletes every cached row.
    void clearCache();

    /**
     * Appends the ids and documents of the (at most 25) oldest cached records of @p storageId
     * to @p ids and @p records, pairwise. False, with both lists untouched, when the query
     * cannot run.
     */
    bool getCacheByStorageId(int storageId, QStringList &ids, QStringList &records);

    /// Deletes the cached records with the given ids in one transaction; false on failure.
    bool deleteByIds(const QStringList &ids);

private:
    Q_DISABLE_COPY(DataCollector)
    DataCollectorPrivate *d;
};

/// The collector of the process.
KORVELTELEMETRY_EXPORT DataCollector *currentDataCollector();

} // namespace kl::telemetry
