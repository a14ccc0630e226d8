// Applying the answers of the batches out: deleting what was stored, setting aside what never
// will be, keeping the narrowing, spacing the attempts of a failing destination, and telling
// the status and publishPending() what came of each batch.

#include "telemetry/publishing/publisher.h"
#include "telemetry/publishing/publisher_p.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"
#include "telemetry/publishing/documentuploader.h"
#include "telemetry/registry/backends.h"
#include "telemetry/registry/backends_p.h"
#include "telemetry/runtime/consent_p.h"
#include "telemetry/runtime/dispatch.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"

#include <QThread>

#include <algorithm>

namespace kl::telemetry {

namespace {

QString couldNotSetAside(const QString &id, int storageId)
{
    return QStringLiteral("Record %1 of destination %2 could not be set aside; it stays cached")
        .arg(id, loggedDestination(storageId));
}

// Why the destination failed the batch as a whole; empty when it answered for the records.
QString destinationFailure(const UploadResult &answer)
{
    if (answer.kind() != UploadResult::Kind::CredentialsRefused
        && answer.kind() != UploadResult::Kind::Transient)
        return {};
    const QString error
        = answer.errorText().isEmpty() ? QStringLiteral("no usable answer") : answer.errorText();
    return answer.httpStatus() == 0
        ? error
        : QStringLiteral("HTTP %1, %2").arg(QString::number(answer.httpStatus()), error);
}

// Why the cache could not take the destination's answer; empty when it took it.
QString cacheFailure(bool deleted, bool stateKept)
{
    if (!deleted)
        return QStringLiteral("the records it stored could not be deleted from the cache");
    if (!stateKept)
        return QStringLiteral("the narrowing of its batches could not be kept in the cache");
    return {};
}

// Answers that come back the same until someone corrects the password or creates the database.
bool isHopeless(const UploadResult &answer)
{
    return answer.kind() == UploadResult::Kind::CredentialsRefused || answer.httpStatus() == 404;
}

} // namespace

// The number set aside; a record that could not be stays cached, left out of every batch.
int PublisherPrivate::setAsideUnsendable(int storageId,
                                         const QVector<BatchVerdict::SetAside> &records) const
{
    int setAside = 0;
    for (const BatchVerdict::SetAside &record : records) {
        if (currentCollectorPrivate()->setAside(record.id, record.reason)) {
            ++setAside;
            qCWarning(lcTelemetry).noquote()
                << QStringLiteral("Record %1 of destination %2 set aside unsent: %3")
                       .arg(record.id, loggedDestination(storageId), record.reason);
        } else {
            qCWarning(lcTelemetry).noquote() << couldNotSetAside(record.id, storageId);
        }
    }
    countSetAside(storageId, setAside);
    return setAside;
}

// Another process, or the next run, goes on from the narrowing of this destination; false
// when it could not be kept.
bool PublisherPrivate::keepNarrowingState(const QByteArray &stateRead)
{
    const QByteArray state = m_narrowing.state(m_outStorageId);
    return state == stateRead
        || currentCollectorPrivate()->setPublishingState(m_outStorageId, state);
}

// Whether the next attempts pass @p storageId by.
bool PublisherPrivate::waits(int storageId) const
{
    return m_backoff.isHeld(storageId)
        || (m_pendingCall && m_pendingCall->hopeless.contains(storageId));
}

void PublisherPrivate::countSetAside(int storageId, int count) const
{
    BackendsPrivate *registry = BackendsPrivate::get(currentBackends());
    if (m_pendingCall && count > 0
        && registry->recordedLocationInfos().contains(registry->publishedLocationInfo(storageId)))
        m_pendingCall->setAside += count;
}

void PublisherPrivate::noteAnswer(const BatchVerdict &verdict, const UploadResult &answer,
                                  bool deleted, bool stateKept)
{
    QString failure = destinationFailure(answer);
    if (!failure.isEmpty()) {
        m_backoff.failed(m_outStorageId, failure);
    } else if (failure = cacheFailure(deleted, stateKept); !failure.isEmpty()) {
        m_backoff.cacheFailed(m_outStorageId, failure);
    } else {
        m_backoff.succeeded(m_outStorageId);
    }
    if (!m_pendingCall)
        return;
    for (const QString &id : verdict.stored)
        m_pendingCall->stored.insert(id);
    const QString error = failure.isEmpty() ? verdict.firstError : failure;
    if (!error.isEmpty())
        m_pendingCall->error = error;
    if (isHopeless(answer))
        m_pendingCall->hopeless.insert(m_outStorageId);
    if (m_pendingCall->loop)
        m_pendingCall->loop->quit();
}

void PublisherPrivate::resetBackoffFromAnyThread()
{
    if (*m_thread == QThread::currentThread()) {
        m_backoff.reset();
        return;
    }
    dispatchToThread(*m_thread, 0, [publisher = QPointer<Publisher>(q)] {
        if (publisher)
            publisher->d->m_backoff.reset();
    });
}

// Applies the answer to @p batch, already taken off the batches out; returns the delay of
// the next attempt.
int PublisherPrivate::applyAnswer(const OutBatch &batch)
{
    const QStringList &ids = batch.ids;
    const BatchVerdict verdict = m_narrowing.judge(m_outStorageId, ids, *batch.answer);
    const bool deleted = applyVerdict(verdict, ids.size());
    const bool stateKept = keepNarrowingState(batch.narrowingState);
    tellAnswer(verdict, ids.size(), *batch.answer);
    noteAnswer(verdict, *batch.answer, deleted, stateKept);
    // Records that stay cached would only come back at once, as conflicts, in a hot loop while
    // the disk is full: no catch-up until a delete succeeds. Nor narrowing, when its state was
    // not kept: the next attempt would read the old one and send the same batch again.
    const bool narrowing = deleted && stateKept && m_narrowing.isNarrowing(m_outStorageId);
    const int stored = deleted ? int(verdict.stored.size()) : 0;
    // The claim stays while this destination's next batch follows at once, or another is out.
    if (!narrowing && (stored < kBatchSize || stored < ids.size()) && m_out.isEmpty())
        releaseClaim();
    return delayAfterUpload(stored, batch, narrowing);
}

// False when what the destination stored could not be deleted from the cache.
bool PublisherPrivate::applyVerdict(const BatchVerdict &verdict, int sent) const
{
    bool deleted = true;
    if (!verdict.stored.isEmpty()) {
        qCDebug(lcTelemetry) << "Published" << verdict.stored.size() << "records";
        deleted = currentDataCollector()->deleteByIds(verdict.stored);
    }
    // One line per batch; the multi-argument arg() leaves "%" in the server's texts alone. Named
    // only for a line to log: the batches of a draining backlog, stored whole, log none.
    const bool logs = !verdict.firstError.isEmpty() || !verdict.setAside.isEmpty();
    const QString destination = logs ? loggedDestination(m_outStorageId) : QString();
    if (!verdict.firstError.isEmpty())
        qCWarning(lcTelemetry).noquote()
            << QStringLiteral("Destination %1 stored %2 of %3 records, %4 kept in the cache, %5 "
                              "set aside; first error: %6")
                   .arg(destination, QString::number(verdict.stored.size()), QString::number(sent),
                        QString::number(verdict.kept), QString::number(verdict.setAside.size()),
                        verdict.firstError);
    for (const BatchVerdict::SetAside &record : verdict.setAside) {
        if (currentCollectorPrivate()->setAside(record.id, record.reason))
            qCWarning(lcTelemetry).noquote()
                << QStringLiteral("Record %1 of destination %2 set aside after %3 refusals: %4")
                       .arg(record.id, destination,
                            QString::number(BatchNarrowing::kSoloRefusalsToSetAside),
                            record.reason);
        else
            qCWarning(lcTelemetry).noquote() << couldNotSetAside(record.id, m_outStorageId);
    }
    countSetAside(m_outStorageId, int(verdict.setAside.size()));
    return deleted;
}

void PublisherPrivate::tellAnswer(const BatchVerdict &verdict, int sent,
                                  const UploadResult &result) const
{
    const QString locationInfo
        = BackendsPrivate::get(currentBackends())->publishedLocationInfo(m_outStorageId);
    const QString error = verdict.firstError.isEmpty() ? result.errorText() : verdict.firstError;
    // Every process, and korvel-cache, can then tell why a destination is stuck.
    currentCollectorPrivate()->keepAnswer(m_outStorageId, result.httpStatus(), error);
    batchAnswered().call(
        { locationInfo, sent, int(verdict.stored.size()), error, result.httpStatus() });
}

void Publisher::addedDocuments(const UploadResult &result)
{
    d->takeAnswer(qobject_cast<DocumentUploader *>(sender()), result);
    d->finishBatch();
}

void PublisherPrivate::takeAnswer(DocumentUploader *uploader, const UploadResult &result)
{
    detach(uploader);
    const auto batch = std::find_if(m_out.begin(), m_out.end(), [uploader](const OutBatch &out) {
        return out.uploader == uploader && !out.answer;
    });
    if (batch != m_out.end())
        batch->answer = result;
}

// Under the main lock, as a flush writes: the counts that a flush reads agree with the
// batches answered. A flush holds it for a moment only, so the answers wait in its queue; a
// stopped holder not for long.
void PublisherPrivate::finishBatch()
{
    const auto answered = [](const OutBatch &batch) { return batch.answer.has_value(); };
    if (std::none_of(m_out.cbegin(), m_out.cend(), answered))
        return;
    if (!holdMainLock()) {
        // Once, however many answers arrive meanwhile.
        if (std::exchange(m_state, State::Finishing) != State::Finishing)
            waitForMainLock(QThread::currentThread(), [this] {
                if (m_state == State::Finishing)
                    m_state = State::Uploading;
                finishBatch();
            });
        return;
    }
    int delay = DataTransferFrequency;
    for (auto batch = std::find_if(m_out.begin(), m_out.end(), answered); batch != m_out.end();
         batch = std::find_if(m_out.begin(), m_out.end(), answered)) {
        const OutBatch applied = std::move(*batch);
        m_out.erase(batch);
        delay = applyAnswer(applied);
    }
    m_pendingIds.clear();
    for (const OutBatch &out : qAsConst(m_out))
        m_pendingIds += out.ids;
    // The chain goes on from the answers to the batches still out.
    if (!m_out.isEmpty()) {
        if (delay == kFollowUpDelayMs)
            addBatches();
        m_executor.reset();
        return;
    }
    // A backlog drains at the server's pace: the next attempt goes on under this lock, rather
    // than take it again from the event loop (where scheduling would start one at all). Not
    // from within an attempt whose uploader answered at once: a backlog would then drain in one
    // ever deeper call.
    if (m_thread && m_uploadChain == Chain::Continues && delay == kFollowUpDelayMs
        && m_state != State::Attempting && isTelemetryEnabled()) {
        ++m_attemptSerial; // as scheduling it would: one timed before comes no more
        attemptUnderLock(Chain::Continues);
        return;
    }
    m_executor.reset();
    resumeChain(m_uploadChain == Chain::Continues ? delay : DataTransferFrequency);
}

// After the answers of an attempt from outside the chain the chain goes on a period later, as
// it may have rested meanwhile; without a chain the publisher stops again.
void PublisherPrivate::resumeChain(int delayMs)
{
    if (m_thread)
        scheduleAttempt(delayMs);
    else if (m_state != State::Attempting)
        m_state = State::Stopped;
}

} // namespace kl::telemetry
