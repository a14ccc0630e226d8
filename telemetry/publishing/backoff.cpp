#include "telemetry/publishing/backoff_p.h"

#include "telemetry/registry/backends.h"
#include "telemetry/registry/backends_p.h"
#include "telemetry/runtime/credentials_p.h"
#include "telemetry/runtime/runtime.h"

namespace kl::telemetry {

namespace {

// The chain's timers are coarse and may fire a little early: an attempt that comes so close
// to the end of the wait still finds the destination due.
constexpr qint64 kEarlyTimerMs = 1000;

} // namespace

QString loggedDestination(int storageId)
{
    const QString location
        = BackendsPrivate::get(currentBackends())->publishedLocationInfo(storageId);
    return location.isEmpty()
        ? QString::number(storageId)
        : QStringLiteral("%1 (%2)").arg(QString::number(storageId), destinationNameOf(location));
}

int PublishingBackoff::delayAfter(int failures)
{
    const qint64 delay = qint64(DataTransferFrequency) << qBound(0, failures - 1, 16);
    return int(qMin<qint64>(delay, kMaxDelayMs));
}

int PublishingBackoff::failed(int storageId, const QString &reason)
{
    if (isHeld(storageId))
        return int(m_failing.value(storageId).due.remainingTime());
    Failing &failing = m_failing[storageId];
    const int delay = delayAfter(++failing.failures);
    hold(storageId, failing, delay, reason);
    return delay;
}

void PublishingBackoff::cacheFailed(int storageId, const QString &reason)
{
    Failing &failing = m_failing[storageId];
    failing.failures = 0;
    hold(storageId, failing, DataTransferFrequency, reason);
}

void PublishingBackoff::hold(int storageId, Failing &failing, int delay, const QString &reason)
{
    failing.due.setRemainingTime(delay);
    const QString text
        = QStringLiteral("Destination %1 failed: %2; next attempt in %3 s")
              .arg(loggedDestination(storageId), reason, QString::number(delay / 1000));
    if (failing.reason == reason)
        qCDebug(lcTelemetry).noquote() << text;
    else
        qCWarning(lcTelemetry).noquote() << text;
    failing.reason = reason;
}

void PublishingBackoff::succeeded(int storageId)
{
    if (m_failing.remove(storageId) > 0)
        qCInfo(lcTelemetry).noquote()
            << QStringLiteral("Destination %1 answers again").arg(loggedDestination(storageId));
}

void PublishingBackoff::reset()
{
    for (Failing &failing : m_failing) {
        failing.failures = 0;
        failing.due = QDeadlineTimer();
    }
}

bool PublishingBackoff::isHeld(int storageId) const
{
    const auto failing = m_failing.constFind(storageId);
    return failing != m_failing.cend() && failing->due.remainingTime() > kEarlyTimerMs;
}

qint64 PublishingBackoff::msUntilFirstDue() const
{
    qint64 first = -1;
    for (const Failing &failing : m_failing) {
        const qint64 remaining = failing.due.remainingTime();
        if (remaining > kEarlyTimerMs && (first < 0 || remaining < first))
            first = remaining;
    }
    return first;
}

} // namespace kl::telemetry
