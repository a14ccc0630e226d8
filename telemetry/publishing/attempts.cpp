// When publish attempts come, and how they get the main lock: at once, from its queue while a
// backlog drains, or past a holder that has stopped.
#include "telemetry/publishing/publisher.h"
#include "telemetry/publishing/publisher_p.h"

#include "telemetry/runtime/consent_p.h"
#include "telemetry/runtime/dispatch.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"

#include <QRandomGenerator>

#include <utility>

namespace kl::telemetry {

namespace {

// Uniform in [from, to).
int randomDelay(int from, int to)
{
    return from + int(QRandomGenerator::global()->bounded(to - from));
}

} // namespace

// Attempts made outside the chain, before initialize(), start none. The chain ends with its
// publisher.
void PublisherPrivate::scheduleAttempt(int delayMs)
{
    if (!m_thread)
        return;
    const quint64 serial = nextAttemptSerial();
    dispatchToThread(*m_thread, delayMs, [publisher = QPointer<Publisher>(q), serial] {
        if (publisher && publisher->d->m_attemptSerial == serial)
            publisher->doPublishImpl();
    });
}

// As scheduleAttempt(), for an attempt that comes once the main lock is given up: a backlog
// waits in the lock's queue behind a flush, not a period.
void PublisherPrivate::queueAttempt()
{
    if (!m_thread)
        return;
    const quint64 serial = nextAttemptSerial();
    waitForMainLock(*m_thread, [this, serial] {
        if (m_attemptSerial == serial)
            q->doPublishImpl();
    });
}

// The attempt about to be timed or queued is the only one that runs: a rest ends with it. With
// batches out, the publisher goes on uploading meanwhile.
quint64 PublisherPrivate::nextAttemptSerial()
{
    if (m_cacheWatch)
        m_cacheWatch->stop();
    if (m_out.isEmpty())
        m_state = State::Waiting;
    return ++m_attemptSerial;
}

// Holds the main lock for work on this thread: the lock from its queue, or taken at once. True
// also past a stuck holder, when the claim alone keeps other publishers off the destination.
bool PublisherPrivate::holdMainLock()
{
    if (m_lockFromQueue) {
        m_executor = std::move(m_lockFromQueue);
        return true;
    }
    m_executor = std::make_unique<SingleExecutor>(QString::fromLatin1(kMainLockName));
    if (m_executor->tryToRun() || m_executor->isHolderStuck())
        return true;
    m_executor.reset();
    return false;
}

// Runs @p then on @p thread once the main lock comes out of its queue, for holdMainLock() to
// take up, or after a while without it: only a take tells a holder that has stopped.
void PublisherPrivate::waitForMainLock(QThread *thread, std::function<void()> then)
{
    SingleExecutor::whenFree(QString::fromLatin1(kMainLockName), thread, kQueuedLockWaitMs,
                             [publisher = QPointer<Publisher>(q),
                              then = std::move(then)](std::unique_ptr<SingleExecutor> lock) {
                                 if (!publisher)
                                     return;
                                 PublisherPrivate *d = publisher->d;
                                 d->m_lockFromQueue = std::move(lock);
                                 then();
                                 d->m_lockFromQueue.reset(); // not taken up: given back
                             });
}

// Processes started together would otherwise meet at the lock on every attempt: the one that
// loses retries a period later, just when the winner comes back.
int PublisherPrivate::firstAttemptDelay()
{
    return randomDelay(DataTransferFrequency, 2 * DataTransferFrequency);
}

int PublisherPrivate::delayAfterAttempt(AttemptEnd end) const
{
    switch (end) {
    case AttemptEnd::LockTaken:
        return randomDelay(DataTransferFrequency / 2, DataTransferFrequency * 3 / 2);
    case AttemptEnd::WalkPaused:
        return kWalkResumeMs;
    case AttemptEnd::UploadStarted:
    case AttemptEnd::NothingToSend:
    case AttemptEnd::NothingToDo:
    case AttemptEnd::AnswerAwaited:
        break;
    }
    return DataTransferFrequency;
}

bool PublisherPrivate::attempt(Chain chain)
{
    // An attempt of another chain (a call from outside starts one) must not send a second
    // batch while this publisher's own is out.
    if (!m_out.isEmpty()) {
        if (chain == Chain::Continues)
            scheduleAttempt(delayAfterAttempt(AttemptEnd::LockTaken));
        return false;
    }
    // Switched off, the chain rests without touching the cache until it is switched on.
    if (!isTelemetryEnabled()) {
        endAttempt(chain, AttemptEnd::NothingToDo);
        return false;
    }
    if (!holdMainLock()) {
        if (chain == Chain::Continues && isCatchingUp())
            queueAttempt();
        else
            endAttempt(chain, AttemptEnd::LockTaken);
        return false;
    }
    attemptUnderLock(chain);
    return true;
}

// An attempt from outside the chain that starts no upload leaves the chain as it found it.
void PublisherPrivate::attemptUnderLock(Chain chain)
{
    const State found = std::exchange(m_state, State::Attempting);
    // A file that another client holds, or that could not be opened again, is tried again a
    // period later; the collector says why.
    AttemptEnd end = AttemptEnd::NothingToSend;
    if (checkCacheFile()) {
        end = uploadToNextDestination();
        if (end == AttemptEnd::UploadStarted)
            m_uploadChain = chain;
        addBatches();
    }
    endAttempt(chain, end);
    if (m_state == State::Attempting)
        m_state = found;
}

// Gives the main lock back before any upload the attempt started is answered; the chain goes
// on at once, or from that answer.
void PublisherPrivate::endAttempt(Chain chain, AttemptEnd end)
{
    if (end == AttemptEnd::UploadStarted) {
        // Unless the answers came within the attempt and were applied, or wait for the lock.
        if (m_state == State::Attempting && !m_out.isEmpty())
            m_state = State::Uploading;
        m_executor.reset();
        return;
    }
    const bool rests = chain == Chain::Continues && end == AttemptEnd::NothingToDo;
    if (rests)
        rest();
    m_executor.reset();
    if (chain == Chain::Continues && !rests)
        scheduleAttempt(delayAfterAttempt(end));
}

} // namespace kl::telemetry
