// How a publisher with nothing to send rests, and what ends the rest: records this process
// caches, consent given again, or, in the one process of the cache on watch duty, records that
// another client left in the cache file.
#include "telemetry/publishing/publisher.h"
#include "telemetry/publishing/publisher_p.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"
#include "telemetry/runtime/dispatch.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/watchduty_p.h"

#include <utility>

namespace kl::telemetry {

namespace {

// How long a resting publisher that cannot watch the cache file may miss what others cached.
constexpr int kUnwatchedRestMs = 5 * 60 * 1000;
// From a write that another client made to the look for what it left.
int lookDelayMs()
{
    return DataTransferFrequency * 3 / 2;
}

} // namespace

// With nothing cached that any process could publish, no attempt comes until one of those
// ends it; so an idle process takes no lock and reads no file. Called under the main lock: a
// write that comes after the empty cache was seen changes the watched file.
void PublisherPrivate::rest()
{
    if (!m_cacheWatch)
        return;
    ++m_attemptSerial; // one timed before, as after an attempt made from outside, comes no more
    watchWhileResting();
    m_state = State::Resting;
    currentCollectorPrivate()->releaseMemory();
}

// Only the process on duty watches, so that a write wakes one process, not all.
void PublisherPrivate::watchWhileResting()
{
    if (isOnWatchDuty() && !m_cacheWatch->start())
        scheduleAttempt(kUnwatchedRestMs);
}

// The attempt comes a period later, as it would have without the rest: what was cached may
// well be sent by the process that cached it meanwhile.
void PublisherPrivate::wake()
{
    if (m_state == State::Resting)
        scheduleAttempt(DataTransferFrequency);
}

void PublisherPrivate::wakeFromAnyThread()
{
    if (m_wakePosted.exchange(true))
        return;
    dispatchToThread(*m_thread, 0, [publisher = QPointer<Publisher>(q)] {
        if (!publisher)
            return;
        publisher->d->m_wakePosted = false;
        publisher->d->wake();
    });
}

// Another client wrote into the cache file. Most often it is a process that sends what it
// cached itself, a period later: a look half a period after that, without the main lock, tells
// whether anything was left to this one. Until then the watch rests too, as the writer's next
// writes (its flush, its claim, its deletes) would only wake this thread again.
void PublisherPrivate::cacheWritten()
{
    if (m_state != State::Resting || std::exchange(m_lookPending, true))
        return;
    m_cacheWatch->stop();
    dispatchToThread(*m_thread, lookDelayMs(), [publisher = QPointer<Publisher>(q)] {
        if (publisher)
            publisher->d->lookForLeftRecords();
    });
}

// The watch starts again first: a write after that is seen by it, one before by the look. A
// file replaced meanwhile is one the collector has not opened yet: an attempt opens it.
void PublisherPrivate::lookForLeftRecords()
{
    m_lookPending = false;
    if (m_state != State::Resting)
        return;
    const bool replaced = m_cacheWatch->fileReplaced();
    watchWhileResting();
    if (replaced || currentCollectorPrivate()->hasCachedRecords() != std::optional<bool>(false))
        scheduleAttempt(0);
}

// Records left while another process was on duty are looked for, as after a write.
void PublisherPrivate::watchDutyTakenFromAnyThread()
{
    dispatchToThread(*m_thread, 0, [publisher = QPointer<Publisher>(q)] {
        if (publisher)
            publisher->d->cacheWritten();
    });
}

} // namespace kl::telemetry
