// Publishing on demand, for programs that end soon after recording: the queue is written and
// batches go back to back, each attempt outside the chain, until this process's records are
// stored, their destinations answered what no retry changes, or the time is up. A destination
// that fails waits between attempts as in the chain.

#include "telemetry/publishing/publisher.h"
#include "telemetry/publishing/publisher_p.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"
#include "telemetry/registry/backends.h"
#include "telemetry/registry/backends_p.h"
#include "telemetry/runtime/consent_p.h"
#include "telemetry/runtime/credentials_p.h"
#include "telemetry/runtime/runtime.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QScopedValueRollback>
#include <QThread>
#include <QTimer>

namespace kl::telemetry {

namespace {

// Between two looks at what is left, when no answer comes sooner.
constexpr int kStepMs = 20;

// Until @p milliseconds have passed or an answer was applied: the next batch goes at once.
void waitForAnswer(PublisherPrivate::PendingCall &call, int milliseconds)
{
    QEventLoop loop;
    const QScopedValueRollback<QEventLoop *> waiting(call.loop, &loop);
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

// Records of the destinations @p except are left out, and those that wait for a login this
// process does not have.
int PublisherPrivate::recordsOfThisProcess(const QSet<int> &except) const
{
    DataCollector *collector = currentDataCollector();
    BackendsPrivate *registry = BackendsPrivate::get(currentBackends());
    QSet<QString> own = registry->recordedLocationInfos();
    for (int storageId : except)
        own.remove(registry->publishedLocationInfo(storageId));
    const QMap<QString, int> cached = collector->getCachedCountsByLocation();
    int records = collector->getQueuedElementsCount();
    for (auto it = cached.cbegin(); it != cached.cend(); ++it) {
        if (own.contains(it.key()))
            records += it.value();
    }
    const QMap<QString, QMap<QString, int>> accounts = collector->accountCountsByLocation();
    for (auto it = accounts.cbegin(); it != accounts.cend(); ++it) {
        if (own.contains(it.key()))
            records -= recordsWaitingForLogin(it.key(), it.value());
    }
    return records;
}

// With no batch out, what is left waits for a destination's back-off: no need to look sooner.
int PublisherPrivate::pendingStepMs(const QDeadlineTimer &deadline) const
{
    const qint64 due = m_out.isEmpty() ? m_backoff.msUntilFirstDue() : -1;
    const qint64 step = qMax<qint64>(kStepMs, due);
    return int(deadline.isForever() ? step : qMin(step, deadline.remainingTime()));
}

PublishOutcome Publisher::publishPending(int timeoutMs)
{
    if (d->isOwnThreadElsewhere())
        return d->publishPendingOnOwnThread(timeoutMs);
    const QDeadlineTimer deadline(timeoutMs);
    PublishOutcome outcome;
    outcome.remaining = d->recordsOfThisProcess();
    if (!d->isPublisherThread()) {
        qCWarning(lcTelemetry) << "publishPending() called outside the publisher's thread";
        return outcome;
    }
    PublisherPrivate::PendingCall call;
    const QScopedValueRollback<PublisherPrivate::PendingCall *> tracked(d->m_pendingCall, &call);
    d->m_backoff.reset();
    DataCollectorPrivate *collector = currentCollectorPrivate();
    int left = outcome.remaining;
    // Switched off, nothing is written or sent: what is queued waits for consent.
    while (left > 0 && isTelemetryEnabled() && !deadline.hasExpired()) {
        // The answer of our own batch out comes through the loop.
        if (!isUploading()) {
            collector->writeQueueWithin(0);
            d->attempt(PublisherPrivate::Chain::Ends);
        }
        waitForAnswer(call, d->pendingStepMs(deadline));
        // Counting reads the whole cache: not while the upload that would change it is out.
        if (!isUploading())
            left = d->recordsOfThisProcess(call.hopeless);
    }
    // The status hears of the last answer through queued calls: they arrive before we return.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    if (!isUploading())
        outcome.remaining = call.hopeless.isEmpty() ? left : d->recordsOfThisProcess();
    outcome.published = int(call.stored.size());
    outcome.setAside = call.setAside;
    outcome.error = call.error;
    return outcome;
}

} // namespace kl::telemetry
