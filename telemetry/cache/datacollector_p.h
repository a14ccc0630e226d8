#pragma once

#include "telemetry/cache/cachedatabase_p.h"
#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/recordqueue_p.h"
#include "telemetry/runtime/consent_p.h"
#include "telemetry/runtime/hook_p.h"

#include <QMutex>
#include <QPointer>
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

class DataCollectorPrivate
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

} // namespace kl::telemetry
