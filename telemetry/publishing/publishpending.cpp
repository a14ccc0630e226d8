// Publishing on demand, for programs that end soon after recording: the queue is written and
// batches go back to back, each attempt outside the chain, until this process's records are
// stored or the time is up.

#include "telemetry/publishing/publisher.h"
#include "telemetry/publishing/publisher_p.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"
#include "telemetry/registry/backends.h"
#include "telemetry/registry/backends_p.h"
#include "telemetry/runtime/consent_p.h"
#include "telemetry/runtime/runtime.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

namespace kl::telemetry {

namespace {

// Between two looks at what is left, the event loop delivers the upload's answer.
constexpr int kStepMs = 20;

void runEventLoopFor(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

// Before initialize(), any thread may make attempts, as with doPublishImpl().
bool PublisherPrivate::isPublisherThread()
{
    QMutexLocker locker(&m_mutex);
    return !m_thread || *m_thread == QThread::currentThread();
}

int PublisherPrivate::recordsOfThisProcess() const
{
    DataCollector *collector = currentDataCollector();
    const QSet<QString> own = BackendsPrivate::get(currentBackends())->recordedLocationInfos();
    const QMap<QString, int> cached = collector->getCachedCountsByLocation();
    int records = collector->getQueuedElementsCount();
    for (auto it = cached.cbegin(); it != cached.cend(); ++it) {
        if (own.contains(it.key()))
            records += it.value();
    }
    return records;
}

PublishOutcome Publisher::publishPending(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    const qint64 storedBefore = d->m_storedRecords;
    int remaining = d->recordsOfThisProcess();
    if (!d->isPublisherThread()) {
        qCWarning(lcTelemetry) << "publishPending() called outside the publisher's thread";
        return { 0, remaining };
    }
    DataCollectorPrivate *collector = DataCollectorPrivate::get(currentDataCollector());
    // Switched off, nothing is written or sent: what is queued waits for consent.
    while (remaining > 0 && isTelemetryEnabled() && !deadline.hasExpired()) {
        // The answer of our own batch out comes through the loop.
        if (!isUploading()) {
            collector->writeQueueWithin(0);
            d->attempt(PublisherPrivate::Chain::Ends);
        }
        runEventLoopFor(kStepMs);
        // Counting reads the whole cache: not while the upload that would change it is out.
        if (!isUploading())
            remaining = d->recordsOfThisProcess();
    }
    return { int(d->m_storedRecords - storedBefore), remaining };
}

} // namespace kl::telemetry
