#pragma once

#include "telemetry/cache/cachedatabase_p.h"
#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/recordqueue_p.h"
#include "telemetry/cache/usage_p.h"
#include "telemetry/runtime/consent_p.h"
#include "telemetry/runtime/hook_p.h"

#include <QMutex>
#include <QPointer>
#include <QSet>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace kl::telemetry {

/**
 * Lets pending flush tasks outlive the collector safely: a task runs the flush only while
 * the gate is open, and the collector closes it, waiting for a running flush, before it dies.
 */
struct FlushGate
{
    QMutex mutex;
    bool open = true;
};

class KORVELTELEMETRY_TESTS_EXPORT DataCollectorPrivate
{
public:
    explicit DataCollectorPrivate(DataCollector *qq);

    static DataCollectorPrivate *get(DataCollector *collector) { return collector->d; }

    /// Queues @p row, as DataCollector::collect() does.
    void collect(QueuedRow &&row);

    void flushSoon();
    void scheduleFlush();
    void moveFlushesToMainThread(const QThread *ended);
    bool isInitialized();
    bool hasWork() const;
    void flushQueue();
    bool writeQueue(MainLock lock);
    bool writeQueueWithin(int milliseconds);
    void flushAtExit();
    void tellQueueFull() const;

    // The host calls, made while the caller holds the main lock; false when nothing changed.
    bool retry(const QStringList &ids);
    bool purge(const QStringList &ids);
    bool purgeDestinations(const QList<int> &storageIds);
    void openExistingCacheFile();
    // Keeps @p decision for @p application, drops the records it does not allow, and tells the
    // other processes; the decision kept, which a later one may have overruled, or none.
    std::optional<ConsentDecision> storeConsent(const QString &application,
                                                ConsentDecision decision);
    // Deletes every record of @p application: queued in this process, cached, set aside and
    // sent; true when nothing of it is left.
    bool deleteApplicationData(const QString &application);
    // Drops the queued rows that @p decision, of the application that governs the process,
    // does not allow.
    void dropQueuedRowsRefusedBy(ConsentDecision decision);
    bool change(const QStringList &statements, const QStringList &ids);
    // Makes @p change under the main lock, waiting a little for it on the calling thread.
    static bool withMainLock(const std::function<bool()> &change);
    // Makes @p change under the main lock on a pool thread, and hands its result to @p done in
    // the thread of @p context, unless @p context is gone by then.
    void runHostCall(std::function<bool()> change, QObject *context, DataCollector::Done done);
    static bool changeWhenLocked(FlushGate &gate, const std::function<bool()> &change);
    static bool changeAndTell(const std::function<bool()> &change);

    // The plumbing of the library's own publisher and facts. The publisher's calls, from
    // checkCacheFile() to keepAnswer(), assume that the caller holds the machine-wide main lock;
    // the usage calls are the facts', from any thread.
    /**
     * Opens the cache database when it could not be opened so far, or again when its file was
     * deleted, replaced or emptied since it was opened, and gives the queued rows their
     * destinations' storage IDs in that file; false while the cache cannot be used.
     */
    bool checkCacheFile();

    /**
     * Moves the cached record @p id into the set-aside table (telemetry_setaside), with
     * @p reason and the current time, in one transaction; false, with the record still cached,
     * on failure.
     */
    bool setAside(const QString &id, const QString &reason);

    /**
     * Sets aside the cached records whose storage ID names no destination (no row of the
     * storages table), which no publisher would ever read, with one warning per storage ID.
     * Returns the storage IDs of destinations that have records cached; none when the cache
     * could not be read.
     */
    std::optional<QSet<int>> setAsideOrphans();

    /// Whether the cache holds records to publish; none while it cannot be read.
    std::optional<bool> hasCachedRecords();
    /// Gives back the memory a burst of work left behind, for a process that goes idle.
    void releaseMemory();

    /// The publisher's state for @p storageId, kept in the cache file so that every process,
    /// and the next run, goes on from it; empty when none is kept, none while another client's
    /// lock keeps it from being read.
    std::optional<QByteArray> publishingState(int storageId);
    /// Keeps @p state for @p storageId; an empty one drops it. False when it cannot be kept.
    bool setPublishingState(int storageId, const QByteArray &state);

    /**
     * Claims @p storageId for the uploads of @p owner ("<pid>:<name>") for @p durationMs, so
     * that publishers of other processes pass over it meanwhile; false while another owner's
     * claim runs, or when the claim cannot be written. A claim of the owner with more than
     * half its time left is kept as it is. A claim has run out once its process has ended, or
     * when it ends further ahead than @p durationMs, as after the clock was set back.
     */
    bool claimDestination(int storageId, const QString &owner, int durationMs);
    /// Ends the claim of @p owner on @p storageId, if it has one; false when the cache file
    /// cannot be written, and the claim runs out by itself.
    bool releaseDestination(int storageId, const QString &owner);

    /// Keeps @p httpStatus and @p error as the latest answer of @p storageId; writes only when
    /// they differ from the answer kept, so that a draining backlog costs no extra write. False
    /// when it cannot be kept.
    bool keepAnswer(int storageId, int httpStatus, const QString &error);
    /**
     * Counts this process as a start of @p application, and its running time, in the cache
     * file: with the next flush, and then with every flush and at exit. @p counted is called
     * once the start is counted, on the flushing thread. The first call only.
     */
    void countUsage(const QString &application, std::function<void()> counted);
    /// The usage of the application counted by countUsage(); none until its start is counted.
    std::optional<ApplicationUsage> usage() const;
    /// Keeps @p at (ms since the epoch) as the time of the application's last context record,
    /// with the next flush.
    void noteContextRecorded(long long at);

    // The process's publisher gives up an upload in flight, and its claim of a destination,
    // here: the answer would come through the event loop, which runs no more, and other
    // processes need not wait for the claim to run out.
    static Hook<void()> &beforeExitFlush();
    // Told after each flush of a queue with rows, and after each host call that changed the
    // cache, from its thread, that the counts may have changed; with true while the caller
    // holds the main lock, when the cache's counts agree with every upload's.
    static Hook<void(bool)> &afterFlush();
    // Told, from the flushing thread, that a flush has written rows into the cache.
    static Hook<void()> &rowsCached();
    // Told, from the recording thread, that a record joined the queue.
    static Hook<void()> &recordQueued();

    DataCollector *q;
    RecordQueue m_queue;
    CacheDatabase m_cache;
    // The claim that this process wrote last, under the cache's lock: one with more than half
    // its time left is renewed without reading the file.
    struct WrittenClaim
    {
        int storageId = 0;
        QString owner;
        qint64 until = 0;
        int generation = -1;
    };
    WrittenClaim m_writtenClaim;
    std::atomic<int> m_maxCachedRecords { 100000 };
    // Why the last write of the queue failed, under the main lock; empty after a success.
    QString m_writeError;

    QMutex m_initMutex;
    bool m_initialized = false;
    QMetaObject::Connection m_quitConnection;
    QMetaObject::Connection m_applicationEndConnection;
    std::atomic<bool> m_exitWaited { false };
    bool m_exitLossSaid = false; // under the gate's mutex

    // Whether a flush is timed: one at most, and none while the queue is empty.
    std::atomic<bool> m_flushTimed { false };
    // The thread whose event loop times the flushes; tracked, since a host may delete it once
    // it has finished.
    QMutex m_threadMutex;
    QPointer<QThread> m_thread;
    bool m_threadEndSaid = false;
    std::shared_ptr<FlushGate> m_gate = std::make_shared<FlushGate>();
};

/// The private part of currentDataCollector(), for the library's own parts.
inline DataCollectorPrivate *currentCollectorPrivate()
{
    return DataCollectorPrivate::get(currentDataCollector());
}

} // namespace kl::telemetry
