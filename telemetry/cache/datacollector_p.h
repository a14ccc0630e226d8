#pragma once

#include "telemetry/cache/datacollector.h"
#include "telemetry/runtime/cachefile_p.h"

#include <QByteArray>
#include <QMutex>
#include <QPointer>
#include <QSqlDatabase>
#include <QThread>
#include <QVector>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace kl::telemetry {

/// One queued record, in the order of the table's columns. The document stays UTF-8, as the
/// bucket serialised it and as SQLite stores it.
struct QueuedRow
{
    QString id;
    qint64 timestamp = 0;
    int storageId = 0;
    QByteArray record;
};

} // namespace kl::telemetry

// Growing the queue moves rows with a plain reallocation, never one by one under the mutex.
Q_DECLARE_TYPEINFO(kl::telemetry::QueuedRow, Q_MOVABLE_TYPE);

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

class BackendsPrivate;
struct FlushLink;

class DataCollectorPrivate
{
public:
    explicit DataCollectorPrivate(DataCollector *qq);

    using Row = QueuedRow;
    using Queue = QVector<Row>;

    void scheduleFlush();
    void moveFlushesToMainThread(const QThread *ended);
    bool isInitialized();
    bool openConnection();
    void createTable();
    void createReadIndex();
    bool isConnectionOpen();
    bool cacheFileReplaced(BackendsPrivate *registry);
    bool cacheFileUsable();
    void openExistingCacheFile();
    bool rekeyForCurrentFile(BackendsPrivate *registry);
    bool rekeyQueue(const std::function<std::optional<int>(int)> &storageIdInFile, int *dropped);
    Queue takeQueue();
    bool writeBatch(const Queue &batch, QString *error);
    void requeue(const Queue &batch);
    void dropQueued(const QList<int> &storageIds);
    bool changeUnderMainLock(const QStringList &statements, const QStringList &ids);
    bool writeQueue();
    void dropOldestBeyondBound();
    void flushAtExit();
    // The process's publisher gives up an upload in flight here: its answer would come
    // through the event loop, which runs no more, and the exit flush needs the lock it holds.
    static void setBeforeExitFlush(std::function<void()> callback);

    DataCollector *q;
    QMutex m_mutex;
    Queue m_queue;
    QSqlDatabase m_db;
    // Tracked: a host may delete the thread once it has finished.
    QPointer<QThread> m_thread;
    QMutex m_threadMutex;
    bool m_initialized = false;
    std::atomic<int> m_maxCachedRecords { 100000 };
    QMetaObject::Connection m_quitConnection;
    QMetaObject::Connection m_applicationEndConnection;
    std::atomic<bool> m_exitWaited { false };

    // The state of the cache file, used under the main lock. Queued rows wait for re-keying
    // after the file was reopened, or while storage IDs were provisional.
    FileIdentity m_fileIdentity;
    bool m_rekeyPending = false;
    bool m_dropUnknownRows = false;
    bool m_openFailing = false;
    bool m_unusableSaid = false;
    bool m_threadEndSaid = false;

    // The connection is used from the initialising thread, from pool threads and from host
    // calls; SQLite connections must not run two statements at once, so every use takes this.
    // Lock order: main lock, collector mutex, connection mutex; a flush never holds the
    // connection mutex while it takes the collector mutex.
    QMutex m_connectionMutex;
    std::shared_ptr<FlushGate> m_gate = std::make_shared<FlushGate>();
};

} // namespace kl::telemetry
