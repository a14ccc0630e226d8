// The collector's flush cycle: the first record of an empty queue times a flush on the thread
// that initialised the collector, which runs it a second later on a thread of the global pool;
// the flush takes the machine-wide main lock, waiting for it a moment at most, writes the
// queue and times the next one while rows are left, and a few seconds more until their commit
// is synced. An idle process has no timer and touches no file. When that thread ends the cycle
// moves to the main thread. At exit, on the main thread, the queue is written once more.

#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"
#include "telemetry/cache/usage_p.h"

#include "telemetry/runtime/consent_p.h"
#include "telemetry/runtime/dispatch.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"
#include "telemetry/runtime/singleton.h"

#include <QCoreApplication>
#include <QThread>
#include <QThreadPool>

#include <utility>

namespace kl::telemetry {

namespace {

constexpr int kFlushDelayMs = 1000;
// About 250 kB of records.
constexpr int kLargeFlushRows = 1000;
constexpr int kExitLockWaitMs = 3000;
// Other processes hold the lock for a few milliseconds at a time; their flush cycles, a second
// long each, would otherwise keep meeting this one's.
constexpr int kFlushLockWaitMs = 100;

// Built at load, so that they outlive every collector, even one destroyed with the statics.
Hook<void()> s_beforeExitFlush;
Hook<void(bool)> s_afterFlush;
Hook<void()> s_rowsCached;
Hook<void()> s_recordQueued;

bool isApplicationThread()
{
    const QCoreApplication *application = QCoreApplication::instance();
    return application && QThread::currentThread() == application->thread();
}

} // namespace

// A link of the flush chain that its thread drops unrun, because that thread has ended, moves
// the chain to the main thread instead of ending it without a word.
struct FlushLink
{
    FlushLink(DataCollectorPrivate *collector, QThread *thread, std::shared_ptr<FlushGate> gate)
        : d(collector)
        , thread(thread)
        , gate(std::move(gate))
    {
    }
    // The link may die inside a flush that holds the gate, when that flush finds the thread
    // gone as it times the next one: the move waits for the main thread's loop, past it.
    ~FlushLink()
    {
        const QCoreApplication *application = QCoreApplication::instance();
        if (ran || !application || QCoreApplication::closingDown())
            return;
        dispatchToThread(application->thread(), 0, [d = d, thread = thread, gate = gate] {
            QMutexLocker locker(&gate->mutex);
            if (gate->open)
                d->moveFlushesToMainThread(thread);
        });
    }
    Q_DISABLE_COPY(FlushLink)

    DataCollectorPrivate *d;
    QThread *thread;
    std::shared_ptr<FlushGate> gate;
    bool ran = false;
};

DataCollectorPrivate::DataCollectorPrivate(DataCollector *qq)
    : q(qq)
{
}

Hook<void()> &DataCollectorPrivate::beforeExitFlush()
{
    return s_beforeExitFlush;
}

Hook<void(bool)> &DataCollectorPrivate::afterFlush()
{
    return s_afterFlush;
}

Hook<void()> &DataCollectorPrivate::rowsCached()
{
    return s_rowsCached;
}

Hook<void()> &DataCollectorPrivate::recordQueued()
{
    return s_recordQueued;
}

// Before the collector is initialised there is no thread to time flushes on; initialize()
// times the first one for the rows queued by then.
void DataCollectorPrivate::flushSoon()
{
    if (!m_flushTimed.load(std::memory_order_relaxed) && isInitialized()
        && !m_flushTimed.exchange(true))
        scheduleFlush();
}

void DataCollectorPrivate::scheduleFlush()
{
    QThread *thread;
    {
        QMutexLocker locker(&m_threadMutex);
        thread = m_thread;
    }
    auto link = std::make_shared<FlushLink>(this, thread, m_gate);
    dispatchToThread(thread, kFlushDelayMs, [collector = q, gate = m_gate, link] {
        link->ran = true;
        auto task = [collector, gate] {
            QMutexLocker locker(&gate->mutex);
            if (gate->open)
                collector->flush();
        };
        QThreadPool::globalInstance()->start(new Task<decltype(task)>(task), 0);
    });
}

void DataCollectorPrivate::moveFlushesToMainThread(const QThread *ended)
{
    const QCoreApplication *application = QCoreApplication::instance();
    if (!application || QCoreApplication::closingDown() || ended == application->thread()
        || application->thread()->isFinished())
        return;
    {
        QMutexLocker locker(&m_threadMutex);
        m_thread = application->thread();
        if (std::exchange(m_threadEndSaid, true) == false)
            qCCritical(lcTelemetry)
                << "The thread that started telemetry has finished; flushing goes on in the "
                   "main thread";
    }
    scheduleFlush();
}

// Rows to write, or usage to count although none are; nothing is counted while telemetry is off.
bool DataCollectorPrivate::hasWork() const
{
    return m_queue.size() > 0 || (usageLedger().hasNews() && isTelemetryEnabled());
}

void DataCollectorPrivate::countUsage(const QString &application, std::function<void()> counted)
{
    usageLedger().start(application, std::move(counted));
    flushSoon();
}

std::optional<ApplicationUsage> DataCollectorPrivate::usage() const
{
    return usageLedger().figures();
}

void DataCollectorPrivate::noteContextRecorded(long long at)
{
    usageLedger().noteContext(at);
    flushSoon();
}

bool DataCollectorPrivate::isInitialized()
{
    QMutexLocker locker(&m_initMutex);
    return m_initialized;
}

// Runs under the main lock, or past a wait for it at exit; false when nothing could be written.
// Consent is read here, past the wait: a switch made meanwhile holds, and the records stay
// queued until it is on again.
bool DataCollectorPrivate::writeQueue(MainLock lock)
{
    if (!isTelemetryEnabled())
        return true;
    if (!m_cache.makeUsable(m_queue, lock))
        return false;
    const RecordQueue::Rows rows = m_queue.takeAll();
    QString error;
    if (!m_cache.write(rows, lock, &error)) {
        // A full disk fails every flush alike until it has room again.
        if (std::exchange(m_writeError, error) != error)
            qCCritical(lcTelemetry) << "local cache update failed" << error;
        if (m_queue.putBack(rows))
            tellQueueFull();
        return false;
    }
    m_writeError.clear();
    m_cache.dropOldestBeyondBound(m_maxCachedRecords.load());
    if (!rows.isEmpty())
        rowsCached().call();
    return true;
}

// For a host that is about to end: the chain's next flush may come too late. The counts are
// told of rows written, as after a flush.
bool DataCollectorPrivate::writeQueueWithin(int milliseconds)
{
    SingleExecutor mainLock(QString::fromLatin1(kMainLockName));
    if (!isInitialized() || !mainLock.tryToRunFor(milliseconds))
        return false;
    const bool hadRows = m_queue.size() > 0;
    const bool written = writeQueue(MainLock::Held);
    if (hadRows)
        afterFlush().call(true);
    return written;
}

// Another process may hold the main lock for long (stopped, or stuck in a slow disk), and the
// queue would die with the process. Past a short wait it goes in without the lock: SQLite
// serialises the writers, and the applying of an answer deletes only the ids that were sent.
// Only the first call at exit waits: the collector's end after aboutToQuit has waited already
// must not double the time to exit. A flush of the pool may still be running, in SQLite's busy
// wait at worst, on the same connection: the gate keeps the two apart.
void DataCollectorPrivate::flushAtExit()
{
    const bool waited = m_exitWaited.exchange(true);
    if (!isInitialized())
        return;
    beforeExitFlush().call();
    if (!isTelemetryEnabled() || (m_queue.size() == 0 && !usageLedger().isCounting()))
        return;
    QMutexLocker gateLocker(&m_gate->mutex);
    SingleExecutor mainLock(QString::fromLatin1(kMainLockName));
    // The usage time alone is not worth a slower exit.
    const bool wait = !waited && m_queue.size() > 0;
    const bool locked = mainLock.tryToRunFor(wait ? kExitLockWaitMs : 0);
    // The application's end calls this twice: after aboutToQuit, and as it is destroyed.
    if (!writeQueue(locked ? MainLock::Held : MainLock::NotHeld) && m_queue.size() > 0
        && !std::exchange(m_exitLossSaid, true))
        qCWarning(lcTelemetry) << "Records lost at exit, the cache could not be written:"
                               << m_queue.size();
}

DataCollector::DataCollector()
    : d(new DataCollectorPrivate(this))
{
}

DataCollector::~DataCollector()
{
    {
        QMutexLocker locker(&d->m_gate->mutex);
        d->m_gate->open = false;
    }
    QObject::disconnect(d->m_quitConnection);
    QObject::disconnect(d->m_applicationEndConnection);
    // Past the application's end the process's collector has written its queue already, and
    // the registry it would need is gone with the other statics.
    if (QCoreApplication::instance())
        d->flushAtExit();
    delete d;
}

void DataCollector::initialize(CacheOpening opening)
{
    QMutexLocker locker(&d->m_initMutex);
    if (d->m_initialized)
        return;
    d->m_initialized = true;
    {
        QMutexLocker threadLocker(&d->m_threadMutex);
        d->m_thread = QThread::currentThread();
    }
    if (d->hasWork() && !d->m_flushTimed.exchange(true))
        d->scheduleFlush();
    if (const QCoreApplication *application = QCoreApplication::instance()) {
        d->m_quitConnection = QObject::connect(application, &QCoreApplication::aboutToQuit,
                                               [d = d] { d->flushAtExit(); });
        // An application that returns from main() without exec() never says aboutToQuit.
        d->m_applicationEndConnection
            = QObject::connect(application, &QObject::destroyed, [d = d] { d->flushAtExit(); });
    }
    d->m_cache.start(opening);
}

void DataCollector::collect(const QString &id, long long timestamp, int storageId,
                            const QString &record)
{
    collect(id, timestamp, storageId, record.toUtf8());
}

void DataCollector::collect(const QString &id, long long timestamp, int storageId,
                            const char *record)
{
    collect(id, timestamp, storageId, QByteArray(record));
}

void DataCollector::collect(const QString &id, long long timestamp, int storageId,
                            QByteArray record)
{
    // Serialisers leave room to grow (QString::toUtf8 three bytes per character); a queue
    // that holds records for a while should not keep it.
    if (record.capacity() > record.size())
        record.squeeze();
    d->collect({ id, timestamp, storageId, std::move(record), QString() });
}

void DataCollectorPrivate::collect(QueuedRow &&row)
{
    if (m_queue.append(std::move(row)))
        tellQueueFull();
    recordQueued().call();
    flushSoon();
}

void DataCollectorPrivate::tellQueueFull() const
{
    qCWarning(lcTelemetry).noquote()
        << QStringLiteral("The queue holds its bound of %1 records and no flush can write them; "
                          "the oldest are dropped until one does")
               .arg(m_queue.bound());
}

int DataCollector::maxQueuedRecords() const
{
    return d->m_queue.bound();
}

void DataCollector::setMaxQueuedRecords(int records)
{
    d->m_queue.setBound(records);
}

qint64 DataCollector::droppedQueuedRecords() const
{
    return d->m_queue.droppedCount();
}

bool DataCollectorPrivate::checkCacheFile()
{
    return isInitialized() && m_cache.makeUsable(m_queue);
}

void DataCollector::flush()
{
    if (!d->isInitialized()) {
        qCWarning(lcTelemetry) << "Flush operation aborted, connection to database is closed.";
        return;
    }

    // Cleared first: a record collected from here on times the next flush itself, or finds the
    // check below still to come.
    d->m_flushTimed.store(false);
    if (d->hasWork() || d->m_cache.syncState() == CacheSync::Due)
        d->flushQueue();
    // The chain goes on a few seconds past the last rows, until their commit is synced.
    if (d->hasWork() || d->m_cache.syncState() != CacheSync::None)
        d->flushSoon();
}

// Syncing what was committed needs no consent: it records nothing. Past a holder that has
// stopped, rows go in as at exit, without the lock, and are synced; shrinking waits for it.
void DataCollectorPrivate::flushQueue()
{
    const int rows = m_queue.size();
    const bool enabled = isTelemetryEnabled();
    SingleExecutor mainLock(QString::fromLatin1(kMainLockName));
    const int waitMs = isApplicationThread() ? 0 : kFlushLockWaitMs;
    const bool locked = (enabled || rows == 0) && mainLock.tryToRunFor(waitMs);
    if (locked && !hasWork()) {
        m_cache.makeUsable(m_queue); // what a failure leaves unsynced went with the file
        m_cache.syncWaitingCommits();
        return;
    }
    const bool writes = locked || (enabled && mainLock.isHolderStuck());
    if (writes && writeQueue(locked ? MainLock::Held : MainLock::NotHeld)
        && rows >= kLargeFlushRows)
        m_cache.releaseMemory();
    else if (!writes && enabled)
        qCDebug(lcTelemetry) << "Flush postponed, another process holds the cache lock";
    afterFlush().call(writes);
}

int DataCollector::maxCachedRecords() const
{
    return d->m_maxCachedRecords.load();
}

void DataCollector::setMaxCachedRecords(int records)
{
    d->m_maxCachedRecords.store(qMax(0, records));
}

int DataCollector::getQueuedElementsCount()
{
    return d->m_queue.size();
}

void DataCollector::clearQueue()
{
    d->m_queue.clear();
}

DataCollector *currentDataCollector()
{
    return Singleton<DataCollector>::getInstance();
}

} // namespace kl::telemetry
