#include "telemetry/publishing/publisher.h"
#include "telemetry/publishing/publisher_p.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"
#include "telemetry/publishing/batchselection_p.h"
#include "telemetry/publishing/documentuploader.h"
#include "telemetry/publishing/networkmanager.h"
#include "telemetry/publishing/uploadresult.h"
#include "telemetry/registry/backends.h"
#include "telemetry/registry/backends_p.h"
#include "telemetry/runtime/cachefile_p.h"
#include "telemetry/runtime/consent_p.h"
#include "telemetry/runtime/credentials_p.h"
#include "telemetry/runtime/dispatch.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"
#include "telemetry/runtime/watchduty_p.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <utility>

namespace kl::telemetry {

namespace {

// Batches of a draining backlog out at once, so that the server has the next at hand while
// this process applies an answer and reads. On two cores, where the server and this process
// share the processor, two reached 0.8 to 0.9 of a plain client posting back to back, three
// 0.8 to 1.0, four about 1.0.
constexpr int kBatchesOutWhileDraining = 4;
// Past the upload's deadline, a claim lets the answer be applied; a process killed in between
// keeps others off the destination no longer.
constexpr int kClaimMarginMs = 10000;
// Reads of destinations with nothing to send, per attempt, before the lock is given back.
constexpr int kWalkBudgetMs = 20;

// Names this process in the claims of the destinations it uploads; its publishers share them.
// The process ID lets others see that a claim ended with its process; the random part, that a
// later process with the same ID is another.
const QString &claimOwner()
{
    static const QString owner = QString::number(QCoreApplication::applicationPid())
        + QLatin1Char(':') + generateUniqueId();
    return owner;
}

// Built at load, so that it outlives the status that listens to it.
Hook<void(const BatchAnswer &)> s_batchAnswered;

} // namespace

Hook<void(const BatchAnswer &)> &PublisherPrivate::batchAnswered()
{
    return s_batchAnswered;
}

// A batch not stored in full ends a catch-up: the destination would only be asked again
// right away. Narrowing toward a refused record goes at the catch-up pace, one attempt per
// halving, while a record refused alone waits the usual period between its refusals.
int PublisherPrivate::delayAfterUpload(int stored, const OutBatch &batch, bool narrowing)
{
    const bool allStored = stored == batch.ids.size();
    const bool full = batch.ids.size() == kBatchSize || batch.cutByBytes;
    m_fullBatchInPass = allStored && (m_fullBatchInPass || full);
    m_fullBatchInLastPass = allStored && m_fullBatchInLastPass;
    // The rest of the pass follows at once: small backlogs of many destinations drain in one
    // pass, not one destination a period.
    const bool passGoesOn = allStored && !m_uploaders.isEmpty();
    return isCatchingUp() || narrowing || passGoesOn ? kFollowUpDelayMs : DataTransferFrequency;
}

bool PublisherPrivate::isCatchingUp() const
{
    return m_fullBatchInPass || m_fullBatchInLastPass;
}

// Takes destinations off the pass until one has records to send. An attempt moves on past
// destinations with nothing to send, into one fresh pass at most, until its time budget is
// spent; the next attempt then goes on where it stopped. With a batch out, only its
// destination's next batch may go: another destination with records keeps its place.
PublisherPrivate::AttemptEnd PublisherPrivate::uploadToNextDestination()
{
    QElapsedTimer walk;
    walk.start();
    bool passStarted = false;
    while (!walk.hasExpired(kWalkBudgetMs)) {
        if (m_uploaders.isEmpty()) {
            if (passStarted)
                return endOfPass();
            startPass();
            passStarted = true;
            if (m_uploaders.isEmpty())
                return endOfPass();
        }
        const int storageId = m_uploaders.firstKey();
        DocumentUploader *uploader = m_uploaders.take(storageId);
        ReadBatch read;
        if (!uploader || waits(storageId) || !readBatch(storageId, walk, uploader->logins(), read))
            continue;
        if (!m_out.isEmpty() && storageId != m_outStorageId) {
            m_uploaders.insert(storageId, uploader);
            return AttemptEnd::AnswerAwaited;
        }
        uploader = idleUploader(storageId, uploader);
        if (uploader && claim(storageId)) {
            startUpload(storageId, uploader, read);
            return AttemptEnd::UploadStarted;
        }
    }
    return AttemptEnd::WalkPaused;
}

// Records that no pass could send (their file busy, their backend unknown) keep the period.
PublisherPrivate::AttemptEnd PublisherPrivate::endOfPass() const
{
    const std::optional<bool> cached = currentCollectorPrivate()->hasCachedRecords();
    return cached.has_value() && !*cached ? AttemptEnd::NothingToDo : AttemptEnd::NothingToSend;
}

void PublisherPrivate::startPass()
{
    const std::optional<QSet<int>> cached = currentCollectorPrivate()->setAsideOrphans();
    m_uploaders = currentBackends()->getBackends();
    // A destination with nothing cached is passed by unread: a draining backlog starts a pass
    // with each batch.
    for (auto uploader = m_uploaders.begin(); cached && uploader != m_uploaders.end();)
        uploader
            = cached->contains(uploader.key()) ? std::next(uploader) : m_uploaders.erase(uploader);
    m_fullBatchInLastPass = m_fullBatchInPass;
    m_fullBatchInPass = false;
}

// The next batch of @p storageId, read within the byte bound and cut to the narrowing; false when
// there is none. Records that can never be sent are set aside as they come; a read of nothing
// else says nothing of the records behind it, so reading goes on while the walk's time lasts.
bool PublisherPrivate::readBatch(int storageId, const QElapsedTimer &walk,
                                 const QStringList &logins, ReadBatch &read)
{
    BatchSelection batch;
    forever
    {
        QStringList readIds;
        QStringList readDocuments;
        const QStringList &out = storageId == m_outStorageId ? m_pendingIds : QStringList();
        if (!currentDataCollector()->getCacheByStorageId(
                storageId, readIds, readDocuments, out,
                Singleton<NetworkManager>::getInstance()->maxRequestSize(), logins, &read.account,
                &read.cutByBytes))
            return false;
        batch = selectSendable(readIds, readDocuments);
        const int setAside = setAsideUnsendable(storageId, batch.unsendable);
        if (!batch.ids.isEmpty() || setAside == 0 || walk.hasExpired(kWalkBudgetMs))
            break;
    }
    if (batch.ids.isEmpty())
        return false;

    const std::optional<QByteArray> state = currentCollectorPrivate()->publishingState(storageId);
    if (!state)
        return false;
    m_narrowingState = *state;
    m_narrowing.restore(storageId, m_narrowingState);
    m_narrowing.trim(storageId, batch.ids, batch.documents);
    read.ids = batch.ids;
    read.documents = batch.documents;
    return true;
}

// Another process uploading this destination's oldest records would send the same ones. One
// claim at a time: a backlog kept claimed is claimed again when the pass comes back to it.
bool PublisherPrivate::claim(int storageId)
{
    if (m_claimedStorageId != storageId)
        releaseClaim();
    const int duration = Singleton<NetworkManager>::getInstance()->uploadTimeout() + kClaimMarginMs;
    if (!currentCollectorPrivate()->claimDestination(storageId, claimOwner(), duration))
        return false;
    m_claimedStorageId = storageId;
    return true;
}

void PublisherPrivate::releaseClaim()
{
    if (const int storageId = std::exchange(m_claimedStorageId, 0))
        currentCollectorPrivate()->releaseDestination(storageId, claimOwner());
}

// An uploader answers one batch at a time, so that each answer is known by its sender: a batch
// that goes while others of its destination are out takes one of the destination's spares.
DocumentUploader *PublisherPrivate::idleUploader(int storageId, DocumentUploader *uploader) const
{
    const auto busy = [this](const DocumentUploader *candidate) {
        return std::any_of(m_out.cbegin(), m_out.cend(), [candidate](const OutBatch &batch) {
            return batch.uploader == candidate;
        });
    };
    BackendsPrivate *registry = BackendsPrivate::get(currentBackends());
    for (int spare = 0; uploader && busy(uploader); ++spare)
        uploader = spare < kBatchesOutWhileDraining - 1 ? registry->spareUploader(storageId, spare)
                                                        : nullptr;
    return uploader;
}

void PublisherPrivate::startUpload(int storageId, DocumentUploader *uploader, const ReadBatch &read)
{
    uploader->setAccount(read.account);
    m_out.append({ read.ids, uploader, m_narrowingState, std::nullopt, read.cutByBytes });
    m_outStorageId = storageId;
    m_pendingIds += read.ids;
    QObject::connect(uploader, &DocumentUploader::resultReady, q, &Publisher::addedDocuments);
    uploader->addDocuments(read.ids, read.documents);
}

// While a backlog drains, its destination's next batches go out while full ones are out, so
// that the server never waits for this process's work between two batches. Not while the
// destination's batches are narrowed or it has records refused, nor cut by the byte bound
// (large records keep to one request's memory): those go one at a time.
bool PublisherPrivate::mayAddBatch() const
{
    const auto fullAndOut
        = [](const OutBatch &batch) { return !batch.answer && batch.ids.size() == kBatchSize; };
    return m_thread && m_uploadChain == Chain::Continues && !m_out.isEmpty()
        && m_out.size() < kBatchesOutWhileDraining
        && std::all_of(m_out.cbegin(), m_out.cend(), fullAndOut) && isCatchingUp()
        && m_narrowing.state(m_outStorageId).isEmpty() && isTelemetryEnabled();
}

// Under the main lock. A pass started with another cache file would let go of the uploaders of
// the batches out: a file that changed waits for their answers.
void PublisherPrivate::addBatches()
{
    if (!mayAddBatch() || !currentCollectorPrivate()->checkCacheFile()
        || cacheFileGeneration() != m_cacheGeneration)
        return;
    while (mayAddBatch() && uploadToNextDestination() == AttemptEnd::UploadStarted) { }
}

// Runs under the main lock; false when the cache file cannot be used now. When it was
// replaced, the storage IDs of the pass may name other destinations in the new one: the pass
// and the narrowing start afresh.
bool PublisherPrivate::checkCacheFile()
{
    const bool usable = currentCollectorPrivate()->checkCacheFile();
    const int generation = cacheFileGeneration();
    if (generation == m_cacheGeneration)
        return usable;
    m_cacheGeneration = generation;
    m_uploaders.clear();
    // Narrowing state is kept per storage ID, which may name another destination now.
    m_narrowing = BatchNarrowing();
    return usable;
}

// An uploader is visited again in later passes; it must never hold two connections.
void PublisherPrivate::detach(DocumentUploader *uploader)
{
    if (uploader)
        QObject::disconnect(uploader, &DocumentUploader::resultReady, q,
                            &Publisher::addedDocuments);
}

// At exit, on the publisher's thread. The batch stays cached; what the server stored of it
// comes back as conflicts, which count as stored, on the next upload of any process, which
// need not wait for the claim to run out. The claim goes only once the upload's connection
// is closed: another process could otherwise post to the destination while it is still out.
void PublisherPrivate::abandonUpload()
{
    if (!m_thread || *m_thread != QThread::currentThread())
        return;
    if (!m_out.isEmpty()) {
        for (const OutBatch &batch : qAsConst(m_out))
            detach(batch.uploader);
        m_out.clear();
        m_pendingIds.clear();
        m_state = State::Stopped; // no answer comes to go on from
        // While the application still exists: a manager deleted with the statics, after it,
        // leaks the request in flight. Deleting it closes its connections.
        Singleton<NetworkManager>::getInstance()->setNetworkAccessManager(nullptr);
    }
    releaseClaim();
}

Publisher::Publisher()
    : d(new PublisherPrivate(this))
{
}

// Clearing a hook waits for its call in progress: once cleared, none reaches the private part.
Publisher::~Publisher()
{
    if (d->m_thread) {
        DataCollectorPrivate::beforeExitFlush().set(nullptr);
        DataCollectorPrivate::rowsCached().set(nullptr);
        telemetryEnabledAgain().set(nullptr);
        watchDutyTaken().set(nullptr);
        credentialsRemembered().set(nullptr);
    }
    // A thread that never finished, the application object never destroyed, is left to the
    // process's end: deleting it would abort.
    if (d->m_ownThread && d->m_ownThread->isFinished())
        delete d->m_ownThread;
    delete d;
}

void Publisher::initialize()
{
    {
        QMutexLocker locker(&d->m_mutex);
        if (d->m_thread)
            return;
        d->m_thread = QThread::currentThread();
    }
    d->startChain();
}

// On the publisher's thread, which the watch and the uploaders it builds belong to.
void PublisherPrivate::startChain()
{
    m_cacheWatch = std::make_unique<CacheFileWatch>([this] { cacheWritten(); });
    DataCollectorPrivate::beforeExitFlush().set([publisher = QPointer<Publisher>(q)] {
        if (publisher)
            publisher->d->abandonUploadOnItsThread();
    });
    const auto wakeUp = [publisher = QPointer<Publisher>(q)] {
        if (publisher)
            publisher->d->wakeFromAnyThread();
    };
    DataCollectorPrivate::rowsCached().set(wakeUp);
    telemetryEnabledAgain().set(wakeUp);
    watchDutyTaken().set([publisher = QPointer<Publisher>(q)] {
        if (publisher)
            publisher->d->watchDutyTakenFromAnyThread();
    });
    // A bucket's new server, database or login may well succeed where the old ones failed.
    credentialsRemembered().set([publisher = QPointer<Publisher>(q)] {
        if (publisher)
            publisher->d->resetBackoffFromAnyThread();
    });
    scheduleAttempt(firstAttemptDelay());
}

bool Publisher::doPublishImpl()
{
    return d->attempt(PublisherPrivate::Chain::Continues);
}

bool Publisher::isUploading() const
{
    return !d->m_out.isEmpty();
}

bool Publisher::isResting() const
{
    return d->m_state == PublisherPrivate::State::Resting;
}

Publisher *currentPublisher()
{
    return Singleton<Publisher>::getInstance();
}

} // namespace kl::telemetry
