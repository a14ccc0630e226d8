#include "telemetry/status/telemetrystatus.h"
#include "telemetry/status/telemetrystatus_p.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"
#include "telemetry/publishing/publisher_p.h"
#include "telemetry/runtime/credentials_p.h"
#include "telemetry/runtime/dispatch.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"

#include <QCoreApplication>
#include <QMetaMethod>
#include <QPointer>
#include <QThread>
#include <QThreadPool>

#include <numeric>
#include <utility>

namespace kl::telemetry {

namespace {

// A refresh that finds the main lock taken comes again this much later: the holder is
// writing, and its write may be what changed the file.
constexpr int kRefreshRetryMs = 1000;
// As a flush waits for the lock, off the application's thread.
constexpr int kRefreshLockWaitMs = 100;

} // namespace

// Clearing a hook waits for a call in progress, so no call comes once the status is going.
void TelemetryStatusPrivate::listen()
{
    DataCollectorPrivate::afterFlush().set([this](bool locked) { countsMayHaveChanged(locked); });
    DataCollectorPrivate::recordQueued().set([this] { queueChanged(); });
    PublisherPrivate::batchAnswered().set(
        [this](const BatchAnswer &answer) { batchAnswered(answer); });
}

void TelemetryStatusPrivate::stopListening()
{
    DataCollectorPrivate::afterFlush().set(nullptr);
    DataCollectorPrivate::recordQueued().set(nullptr);
    PublisherPrivate::batchAnswered().set(nullptr);
    QMutexLocker locker(&m_gate->mutex);
    m_gate->open = false;
}

bool TelemetryStatusPrivate::isCountSignal(const QMetaMethod &signal)
{
    return signal == QMetaMethod::fromSignal(&TelemetryStatus::cachedCountsChanged)
        || signal == QMetaMethod::fromSignal(&TelemetryStatus::destinationErrorsChanged);
}

// On the status's thread: watches while someone listens. An idle cache costs nothing, the
// watch only waits for a write.
void TelemetryStatusPrivate::watchCache()
{
    const bool listened
        = q->isSignalConnected(QMetaMethod::fromSignal(&TelemetryStatus::cachedCountsChanged))
        || q->isSignalConnected(
            QMetaMethod::fromSignal(&TelemetryStatus::destinationErrorsChanged));
    if (!listened) {
        m_cacheWatch.reset();
    } else if (!m_cacheWatch) {
        m_cacheWatch = std::make_unique<CacheFileWatch>([this] { cacheChanged(); });
        m_cacheWatch->start();
        // What the cache held before anyone listened shows too, with no write to wake the watch.
        refreshCachedCounts();
    }
}

// Watched afresh before the read, so that a write during the read is seen.
void TelemetryStatusPrivate::cacheChanged()
{
    m_cacheWatch->stop();
    m_cacheWatch->start();
    refreshCachedCounts();
}

// The counts are read under the main lock, as a flush reads them, off the status's thread;
// past a stopped holder without it.
void TelemetryStatusPrivate::refreshCachedCounts()
{
    if (m_refreshing.exchange(true))
        return;
    auto refresh = [this, gate = m_gate, status = QPointer<TelemetryStatus>(q)] {
        QMutexLocker locker(&gate->mutex);
        if (!gate->open)
            return;
        SingleExecutor mainLock(QString::fromLatin1(kMainLockName));
        const bool locked = mainLock.tryToRunFor(kRefreshLockWaitMs);
        m_refreshing = false;
        if (locked || mainLock.isHolderStuck()) {
            // A cache that an application has not used yet opens here, off the status's thread.
            currentCollectorPrivate()->checkCacheFile();
            countsMayHaveChanged(true);
        } else {
            dispatchToThread(q->thread(), kRefreshRetryMs, [this, status] {
                if (status)
                    refreshCachedCounts();
            });
        }
    };
    QThreadPool::globalInstance()->start(new Task<decltype(refresh)>(refresh), 0);
}

// What is posted dies with the status, unrun.
template<typename Function>
void TelemetryStatusPrivate::post(Function function)
{
    QMetaObject::invokeMethod(
        q, [this, function] { function(this); }, Qt::QueuedConnection);
}

// On the flushing thread: another client holding the cache file keeps the count waiting there,
// not in the application's event loop. Read under the main lock, the cached counts come in
// order with those that answered batches leave, and with those of other flushes.
void TelemetryStatusPrivate::countsMayHaveChanged(bool locked)
{
    Counts counts = readCounts(locked);
    {
        QMutexLocker locker(&m_refreshMutex);
        const bool posted = m_refreshCounts.has_value();
        if (posted && !counts.cached)
            counts.cached = m_refreshCounts->cached;
        if (posted && !counts.errors)
            counts.errors = m_refreshCounts->errors;
        if (posted && !counts.waiting)
            counts.waiting = m_refreshCounts->waiting;
        m_refreshCounts = counts;
        if (posted)
            return;
    }
    post([](TelemetryStatusPrivate *d) {
        QMutexLocker locker(&d->m_refreshMutex);
        const Counts counts = *std::exchange(d->m_refreshCounts, std::nullopt);
        locker.unlock();
        d->takeCounts(counts);
    });
}

// On the recording thread, for every record: cheap, and one read of the queue is on its way.
void TelemetryStatusPrivate::queueChanged()
{
    if (!m_queueReadPosted.exchange(true))
        post([](TelemetryStatusPrivate *d) {
            d->m_queueReadPosted = false;
            d->takeQueueCounts();
        });
}

// The batch's records leave the counts without a read; the next flush reads what other
// processes did meanwhile.
void TelemetryStatusPrivate::leaveCounts(QVariantMap &cached, const BatchAnswer &answer)
{
    const QString destination = destinationNameOf(answer.locationInfo);
    const int left = cached.value(destination).toInt() - answer.stored;
    if (left > 0)
        cached.insert(destination, left);
    else
        cached.remove(destination);
}

// On the publisher's thread, usually the status's own: there the status is current as soon
// as the answer is applied, before publishPending() returns. A read on its way was made before
// the answer was applied (both happen under the main lock), so the batch leaves it too.
void TelemetryStatusPrivate::batchAnswered(const BatchAnswer &answer)
{
    const auto take = [answer](TelemetryStatusPrivate *d) {
        QVariantMap cached = d->m_cachedCounts;
        leaveCounts(cached, answer);
        // The counts come first, so that receivers of the batch signal see them after the batch.
        d->takeCounts({ cached, std::nullopt, std::nullopt });
        d->takeBatch(answer);
    };
    if (QThread::currentThread() != q->thread()) {
        post(take);
        return;
    }
    {
        QMutexLocker locker(&m_refreshMutex);
        if (m_refreshCounts && m_refreshCounts->cached)
            leaveCounts(*m_refreshCounts->cached, answer);
    }
    take(this);
}

TelemetryStatusPrivate::Counts TelemetryStatusPrivate::readCounts(bool cache)
{
    Counts counts;
    bool read = false;
    const QMap<QString, int> byLocation
        = cache ? currentDataCollector()->getCachedCountsByLocation(&read) : QMap<QString, int>();
    if (!read)
        return counts;
    // Locations that differ only in a trailing slash or in credentials share a name.
    QVariantMap cached;
    for (auto it = byLocation.cbegin(); it != byLocation.cend(); ++it) {
        QVariant &count = cached[destinationNameOf(it.key())];
        count = count.toInt() + it.value();
    }
    counts.cached = cached;
    QVariantMap waiting;
    const auto accounts = currentDataCollector()->accountCountsByLocation(&read);
    for (auto it = accounts.cbegin(); read && it != accounts.cend(); ++it) {
        if (const int records = recordsWaitingForLogin(it.key(), it.value())) {
            QVariant &count = waiting[destinationNameOf(it.key())];
            count = count.toInt() + records;
        }
    }
    if (read)
        counts.waiting = waiting;
    // The answers that other processes got tell why a destination is stuck, here too.
    const QMap<QString, DestinationAnswer> answers
        = currentDataCollector()->lastAnswersByLocation(&read);
    if (!read)
        return counts;
    QVariantMap errors;
    for (auto it = answers.cbegin(); it != answers.cend(); ++it) {
        if (!it->error.isEmpty())
            errors.insert(destinationNameOf(it.key()), it->error);
    }
    counts.errors = errors;
    return counts;
}

// The queue is read as the counts are taken, never as an earlier read left it: a read that
// a flush posted may arrive after records queued since.
void TelemetryStatusPrivate::takeCounts(const Counts &counts)
{
    takeQueueCounts();
    if (counts.cached)
        setCachedCounts(*counts.cached);
    if (counts.waiting && *counts.waiting != m_waitingForLogin) {
        m_waitingForLogin = *counts.waiting;
        Q_EMIT q->cachedCountsChanged();
    }
    if (counts.errors)
        setDestinationErrors(*counts.errors);
}

void TelemetryStatusPrivate::takeQueueCounts()
{
    const int queued = currentDataCollector()->getQueuedElementsCount();
    const int dropped = int(currentDataCollector()->droppedQueuedRecords());
    if (queued == m_queuedCount && dropped == m_droppedCount)
        return;
    m_queuedCount = queued;
    m_droppedCount = dropped;
    Q_EMIT q->queuedCountChanged();
}

void TelemetryStatusPrivate::setCachedCounts(const QVariantMap &counts)
{
    if (counts == m_cachedCounts)
        return;
    m_cachedCounts = counts;
    m_cachedCount
        = std::accumulate(counts.cbegin(), counts.cend(), 0,
                          [](int sum, const QVariant &count) { return sum + count.toInt(); });
    Q_EMIT q->cachedCountsChanged();
}

void TelemetryStatusPrivate::setLastError(const QString &text, int httpStatus)
{
    if (text == m_lastError && httpStatus == m_lastErrorStatus)
        return;
    m_lastError = text;
    m_lastErrorStatus = httpStatus;
    Q_EMIT q->lastErrorChanged();
}

// An empty text clears the destination's error.
void TelemetryStatusPrivate::setDestinationError(const QString &destination, const QString &text)
{
    if (m_destinationErrors.value(destination).toString() == text)
        return;
    if (text.isEmpty())
        m_destinationErrors.remove(destination);
    else
        m_destinationErrors.insert(destination, text);
    Q_EMIT q->destinationErrorsChanged();
}

void TelemetryStatusPrivate::setDestinationErrors(const QVariantMap &errors)
{
    if (errors == m_destinationErrors)
        return;
    m_destinationErrors = errors;
    Q_EMIT q->destinationErrorsChanged();
}

void TelemetryStatusPrivate::takeBatch(const BatchAnswer &answer)
{
    const bool allStored = answer.stored == answer.sent;
    const QString destination = destinationNameOf(answer.locationInfo);
    setLastError(allStored ? QString() : answer.error, allStored ? 0 : answer.httpStatus);
    setDestinationError(destination, allStored ? QString() : answer.error);
    if (answer.stored == 0)
        return;
    m_lastPublishTime = QDateTime::currentDateTime();
    m_lastPublishDestination = destination;
    m_lastPublishCount = answer.stored;
    Q_EMIT q->lastPublishChanged();
    Q_EMIT q->batchPublished(destination, answer.stored);
}

// The records set aside when the call gets the lock; the counts follow through afterFlush.
void TelemetryStatusPrivate::changeAllSetAside(
    bool (DataCollectorPrivate::*change)(const QStringList &), DataCollector::Done finished)
{
    DataCollector *collector = currentDataCollector();
    DataCollectorPrivate::get(collector)->runHostCall(
        [collector, change] {
            QStringList ids;
            for (const SetAsideRecord &record : collector->setAsideRecords())
                ids.append(record.id);
            return ids.isEmpty() || (DataCollectorPrivate::get(collector)->*change)(ids);
        },
        q, std::move(finished));
}

TelemetryStatus::TelemetryStatus()
    : d(new TelemetryStatusPrivate(this))
{
    // QML and the application's widgets meet it in the main thread, whoever asked first.
    if (const QCoreApplication *application = QCoreApplication::instance())
        moveToThread(application->thread());
    d->listen();
    // The cache is counted at the next flush, off this thread.
    d->takeCounts(TelemetryStatusPrivate::readCounts(false));
}

// Listeners to the counts, a QML binding among them, have them refreshed when another process
// writes to the cache; without one, nothing watches it. Qt may call these while it holds the
// lock of the object's connections, hence the queued call.
void TelemetryStatus::connectNotify(const QMetaMethod &signal)
{
    if (d->isCountSignal(signal))
        QMetaObject::invokeMethod(
            this, [this] { d->watchCache(); }, Qt::QueuedConnection);
}

void TelemetryStatus::disconnectNotify(const QMetaMethod &signal)
{
    if (d->isCountSignal(signal))
        QMetaObject::invokeMethod(
            this, [this] { d->watchCache(); }, Qt::QueuedConnection);
}

TelemetryStatus::~TelemetryStatus()
{
    d->stopListening();
    delete d;
}

int TelemetryStatus::queuedCount() const
{
    return d->m_queuedCount;
}

int TelemetryStatus::droppedCount() const
{
    return d->m_droppedCount;
}

QVariantMap TelemetryStatus::cachedCounts() const
{
    return d->m_cachedCounts;
}

QVariantMap TelemetryStatus::waitingForLogin() const
{
    return d->m_waitingForLogin;
}

int TelemetryStatus::cachedCount() const
{
    return d->m_cachedCount;
}

QDateTime TelemetryStatus::lastPublishTime() const
{
    return d->m_lastPublishTime;
}

QString TelemetryStatus::lastPublishDestination() const
{
    return d->m_lastPublishDestination;
}

int TelemetryStatus::lastPublishCount() const
{
    return d->m_lastPublishCount;
}

QString TelemetryStatus::lastError() const
{
    return d->m_lastError;
}

int TelemetryStatus::lastErrorStatus() const
{
    return d->m_lastErrorStatus;
}

QVariantMap TelemetryStatus::destinationErrors() const
{
    return d->m_destinationErrors;
}

void TelemetryStatus::retrySetAside()
{
    d->changeAllSetAside(&DataCollectorPrivate::retry,
                         [this](bool done) { Q_EMIT setAsideRetried(done); });
}

void TelemetryStatus::purgeSetAside()
{
    d->changeAllSetAside(&DataCollectorPrivate::purge,
                         [this](bool done) { Q_EMIT setAsidePurged(done); });
}

TelemetryStatus *currentTelemetryStatus()
{
    static TelemetryStatus status;
    return &status;
}

} // namespace kl::telemetry
