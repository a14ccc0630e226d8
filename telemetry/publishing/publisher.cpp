#include "telemetry/publishing/publisher.h"
#include "telemetry/publishing/publisher_p.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"
#include "telemetry/publishing/batchselection_p.h"
#include "telemetry/publishing/couchdbdocumentuploader.h"
#include "telemetry/publishing/networkmanager.h"
#include "telemetry/publishing/uploadresult.h"
#include "telemetry/registry/backends.h"
#include "telemetry/registry/backends_p.h"
#include "telemetry/runtime/cachefile_p.h"
#include "telemetry/runtime/consent_p.h"
#include "telemetry/runtime/dispatch.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QScopedValueRollback>
#include <QThread>

#include <utility>

namespace kl::telemetry {

namespace {

// A batch this full suggests that more are waiting.
constexpr int kFullBatch = BatchNarrowing::kFullBatch;
// After a full batch that was taken the next goes at once, to drain a backlog at the server's
// pace: no lock is held across the network, so flushes find it free meanwhile.
constexpr int kFollowUpDelayMs = 0;
// While a flush holds the lock for a moment.
constexpr int kLockRetryMs = 20;
// Past the upload's deadline, a claim lets the answer be applied; a process killed in between
// keeps others off the destination no longer.
constexpr int kClaimMarginMs = 10000;
// Reads of destinations with nothing to send, per attempt, before the lock is given back.
constexpr int kWalkBudgetMs = 20;
// How long a resting publisher that cannot watch the cache file may miss what others cached.
constexpr int kUnwatchedRestMs = 5 * 60 * 1000;

QString couldNotSetAside(const QString &id, int storageId)
{
    return QStringLiteral("Record %1 of destination %2 could not be set aside; it stays cached")
        .arg(id, QString::number(storageId));
}

// Names this process in the claims of the destinations it uploads; its publishers share them.
// The process ID lets others see that a claim ended with its process; the random part, that a
// later process with the same ID is another.
const QString &claimOwner()
{
    static const QString owner = QString::number(QCoreApplication::applicationPid())
        + QLatin1Char(':') + generateUniqueId();
    return owner;
}

// Uniform in [from, to).
int randomDelay(int from, int to)
{
    return from + int(QRandomGenerator::global()->bounded(to - from));
}

// The uploaders that the registry hands the publisher; "couchdb" is the only backend known.
QSharedPointer<DocumentUploader> makeUploader(const QString &backend, const QString &locationInfo)
{
    if (backend != QLatin1String("couchdb"))
        return {};
    const QJsonObject location = QJsonDocument::fromJson(locationInfo.toUtf8()).object();
    return QSharedPointer<DocumentUploader>(
        new CouchDbDocumentUploader(location.value(QLatin1String("server")).toString(),
                                    location.value(QLatin1String("database")).toString(), nullptr));
}

// At load, so that the registry builds uploaders before any publisher exists, as it always has.
void installUploaderFactory()
{
    BackendsPrivate::uploaderFactory().set(makeUploader);
}

// Built at load, so that it outlives the status that listens to it.
Hook<void(const BatchAnswer &)> s_batchAnswered;

} // namespace

Q_CONSTRUCTOR_FUNCTION(installUploaderFactory)

Hook<void(const BatchAnswer &)> &PublisherPrivate::batchAnswered()
{
    return s_batchAnswered;
}

// Attempts made outside the chain, before initialize(), start none. The chain ends with its
// publisher.
void PublisherPrivate::scheduleAttempt(int delayMs)
{
    if (!m_thread)
        return;
    if (m_cacheWatch)
        m_cacheWatch->stop();
    m_resting = false;
    const quint64 serial = ++m_attemptSerial;
    dispatchToThread(*m_thread, delayMs, [publisher = QPointer<Publisher>(q), serial] {
        if (publisher && publisher->d->m_attemptSerial == serial)
            publisher->doPublishImpl();
    });
}

// With nothing cached that any process could publish, no attempt comes until this process
// caches records, telemetry is switched on again or the cache file changes; so an idle
// process takes no lock and reads no file. Called under the main lock: a write that comes
// after the empty cache was seen changes the watched file.
void PublisherPrivate::rest()
{
    if (!m_cacheWatch)
        return;
    ++m_attemptSerial; // one timed before, as after an attempt made from outside, comes no more
    if (!m_cacheWatch->start())
        scheduleAttempt(kUnwatchedRestMs);
    m_resting = true;
    currentDataCollector()->releaseMemory();
}

// The attempt comes a period later, as it would have without the rest: what was cached may
// well be sent by the process that cached it meanwhile.
void PublisherPrivate::wake()
{
    if (m_resting)
        scheduleAttempt(DataTransferFrequency);
}

void PublisherPrivate::wakeFromAnyThread()
{
    dispatchToThread(*m_thread, 0, [publisher = QPointer<Publisher>(q)] {
        if (publisher)
            publisher->d->wake();
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
        if (isCatchingUp())
            return kLockRetryMs;
        return randomDelay(DataTransferFrequency / 2, DataTransferFrequency * 3 / 2);
    case AttemptEnd::WalkPaused:
        return kLockRetryMs;
    case AttemptEnd::UploadStarted:
    case AttemptEnd::NothingToSend:
    case AttemptEnd::NothingToDo:
        break;
    }
    return DataTransferFrequency;
}

// A batch not stored in full ends a catch-up: the destination would only be asked again
// right away. Narrowing toward a refused record goes at the catch-up pace, one attempt per
// halving, while a record refused alone waits the usual period between its refusals.
int PublisherPrivate::delayAfterUpload(int stored, int sent, bool narrowing)
{
    const bool allStored = stored == sent;
    m_fullBatchInPass = allStored && (m_fullBatchInPass || sent == kFullBatch);
    m_fullBatchInLastPass = allStored && m_fullBatchInLastPass;
    return isCatchingUp() || narrowing ? kFollowUpDelayMs : DataTransferFrequency;
}

bool PublisherPrivate::isCatchingUp() const
{
    return m_fullBatchInPass || m_fullBatchInLastPass;
}

// Takes destinations off the pass until one has records to send. An attempt moves on past
// destinations with nothing to send, into one fresh pass at most, until its time budget is
// spent; the next attempt then goes on where it stopped.
PublisherPrivate::AttemptEnd PublisherPrivate::uploadToNextDestination()
{
    QElapsedTimer walk;
    walk.start();
    bool passStarted = false;
    while (!walk.hasExpired(kWalkBudgetMs)) {
        if (q->m_uploaders.isEmpty()) {
            if (passStarted)
                return endOfPass();
            startPass();
            passStarted = true;
            if (q->m_uploaders.isEmpty())
                return endOfPass();
        }
        // Keys are storage IDs as text, so a pass visits "10" before "2".
        const QString key = q->m_uploaders.firstKey();
        DocumentUploader *uploader = q->m_uploaders.take(key);
        QStringList ids;
        QStringList documents;
        if (uploader && readBatch(key.toInt(), walk, ids, documents) && claim(key.toInt())) {
            startUpload(key.toInt(), uploader, ids, documents);
            return AttemptEnd::UploadStarted;
        }
    }
    return AttemptEnd::WalkPaused;
}

// Records that no pass could send (their file busy, their backend unknown) keep the period.
PublisherPrivate::AttemptEnd PublisherPrivate::endOfPass() const
{
    const std::optional<bool> cached = currentDataCollector()->hasCachedRecords();
    return cached.has_value() && !*cached ? AttemptEnd::NothingToDo : AttemptEnd::NothingToSend;
}

void PublisherPrivate::startPass()
{
    currentDataCollector()->setAsideOrphans();
    q->m_uploaders = currentBackends()->getBackends();
    m_fullBatchInLastPass = m_fullBatchInPass;
    m_fullBatchInPass = false;
}

// The next batch of @p storageId, cut to the narrowing and to the byte bound; false when
// there is none. Records that can never be sent are set aside as they come; a read of nothing
// else says nothing of the records behind it, so reading goes on while the walk's time lasts.
bool PublisherPrivate::readBatch(int storageId, const QElapsedTimer &walk, QStringList &ids,
                                 QStringList &documents)
{
    BatchSelection batch;
    forever
    {
        QStringList readIds;
        QStringList readDocuments;
        if (!currentDataCollector()->getCacheByStorageId(storageId, readIds, readDocuments))
            return false;
        batch = selectSendable(readIds, readDocuments);
        const int setAside = setAsideUnsendable(storageId, batch.unsendable);
        if (!batch.ids.isEmpty() || setAside == 0 || walk.hasExpired(kWalkBudgetMs))
            break;
    }
    if (batch.ids.isEmpty())
        return false;

    const std::optional<QByteArray> state = currentDataCollector()->publishingState(storageId);
    if (!state)
        return false;
    m_narrowingState = *state;
    m_narrowing.restore(storageId, m_narrowingState);
    m_narrowing.trim(storageId, batch.ids, batch.documents);
    trimToBytes(batch.ids, batch.documents,
                Singleton<NetworkManager>::getInstance()->maxRequestSize());
    ids = batch.ids;
    documents = batch.documents;
    return true;
}

// The number set aside; a record that could not be stays cached, left out of every batch.
int PublisherPrivate::setAsideUnsendable(int storageId,
                                         const QVector<BatchVerdict::SetAside> &records) const
{
    int setAside = 0;
    for (const BatchVerdict::SetAside &record : records) {
        if (currentDataCollector()->setAside(record.id, record.reason)) {
            ++setAside;
            qCWarning(lcTelemetry).noquote()
                << QStringLiteral("Record %1 of destination %2 set aside unsent: %3")
                       .arg(record.id, QString::number(storageId), record.reason);
        } else {
            qCWarning(lcTelemetry).noquote() << couldNotSetAside(record.id, storageId);
        }
    }
    return setAside;
}

// Another process, or the next run, goes on from the narrowing of this destination; false
// when it could not be kept.
bool PublisherPrivate::keepNarrowingState()
{
    const QByteArray state = m_narrowing.state(m_pendingStorageId);
    return state == m_narrowingState
        || currentDataCollector()->setPublishingState(m_pendingStorageId, state);
}

// Another process uploading this destination's oldest records would send the same ones. One
// claim at a time: a backlog kept claimed is claimed again when the pass comes back to it.
bool PublisherPrivate::claim(int storageId)
{
    if (m_claimedStorageId != storageId)
        releaseClaim();
    const int duration = Singleton<NetworkManager>::getInstance()->uploadTimeout() + kClaimMarginMs;
    if (!currentDataCollector()->claimDestination(storageId, claimOwner(), duration))
        return false;
    m_claimedStorageId = storageId;
    return true;
}

void PublisherPrivate::releaseClaim()
{
    if (const int storageId = std::exchange(m_claimedStorageId, 0))
        currentDataCollector()->releaseDestination(storageId, claimOwner());
}

void PublisherPrivate::startUpload(int storageId, DocumentUploader *uploader,
                                   const QStringList &ids, const QStringList &documents)
{
    m_batchOut = true;
    q->m_pendingIds = ids;
    m_pendingStorageId = storageId;
    m_pendingUploader = uploader;
    QObject::connect(uploader, &DocumentUploader::resultReady, q, &Publisher::addedDocuments);
    uploader->addDocuments(documents);
}

// False when what the destination stored could not be deleted from the cache.
bool PublisherPrivate::applyVerdict(const BatchVerdict &verdict, int sent) const
{
    bool deleted = true;
    if (!verdict.stored.isEmpty()) {
        qCDebug(lcTelemetry) << "Published" << verdict.stored.size() << "records";
        deleted = currentDataCollector()->deleteByIds(verdict.stored);
    }
    // One line per batch; the multi-argument arg() leaves "%" in the server's texts alone.
    const QString destination = QString::number(m_pendingStorageId);
    if (!verdict.firstError.isEmpty())
        qCWarning(lcTelemetry).noquote()
            << QStringLiteral("Destination %1 stored %2 of %3 records, %4 kept in the cache, %5 "
                              "set aside; first error: %6")
                   .arg(destination, QString::number(verdict.stored.size()), QString::number(sent),
                        QString::number(verdict.kept), QString::number(verdict.setAside.size()),
                        verdict.firstError);
    for (const BatchVerdict::SetAside &record : verdict.setAside) {
        if (currentDataCollector()->setAside(record.id, record.reason))
            qCWarning(lcTelemetry).noquote()
                << QStringLiteral("Record %1 of destination %2 set aside after %3 refusals: %4")
                       .arg(record.id, destination,
                            QString::number(BatchNarrowing::kSoloRefusalsToSetAside),
                            record.reason);
        else
            qCWarning(lcTelemetry).noquote() << couldNotSetAside(record.id, m_pendingStorageId);
    }
    return deleted;
}

void PublisherPrivate::tellAnswer(const BatchVerdict &verdict, int sent,
                                  const UploadResult &result) const
{
    const QString locationInfo
        = BackendsPrivate::get(currentBackends())->publishedLocationInfo(m_pendingStorageId);
    batchAnswered().call({ locationInfo, sent, int(verdict.stored.size()),
                           verdict.firstError.isEmpty() ? result.errorText() : verdict.firstError,
                           result.httpStatus() });
}

// Runs under the main lock; false when the cache file cannot be used now. When it was
// replaced, the storage IDs of the pass may name other destinations in the new one: the pass
// and the narrowing start afresh.
bool PublisherPrivate::checkCacheFile()
{
    const bool usable = currentDataCollector()->checkCacheFile();
    const int generation = cacheFileGeneration();
    if (generation == m_cacheGeneration)
        return usable;
    m_cacheGeneration = generation;
    q->m_uploaders.clear();
    // Narrowing state is kept per storage ID, which may name another destination now.
    m_narrowing = BatchNarrowing();
    return usable;
}

// An uploader is visited again in later passes; it must never hold two connections.
void PublisherPrivate::detachPendingUploader()
{
    if (m_pendingUploader)
        QObject::disconnect(m_pendingUploader, &DocumentUploader::resultReady, q,
                            &Publisher::addedDocuments);
    m_pendingUploader = nullptr;
}

// At exit, on the publisher's thread. The batch stays cached; what the server stored of it
// comes back as conflicts, which count as stored, on the next upload of any process, which
// need not wait for the claim to run out. The claim goes only once the upload's connection
// is closed: another process could otherwise post to the destination while it is still out.
void PublisherPrivate::abandonUpload()
{
    if (!m_thread || *m_thread != QThread::currentThread())
        return;
    if (m_batchOut) {
        detachPendingUploader();
        m_batchOut = false;
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

Publisher::~Publisher()
{
    delete d;
}

void Publisher::initialize()
{
    QMutexLocker locker(&d->m_mutex);
    if (d->m_thread)
        return;
    d->m_thread = QThread::currentThread();
    d->m_cacheWatch = std::make_unique<CacheFileWatch>([d = d] { d->wake(); });
    DataCollectorPrivate::beforeExitFlush().set([publisher = QPointer<Publisher>(this)] {
        if (publisher)
            publisher->d->abandonUpload();
    });
    const auto wake = [publisher = QPointer<Publisher>(this)] {
        if (publisher)
            publisher->d->wakeFromAnyThread();
    };
    DataCollectorPrivate::rowsCached().set(wake);
    telemetryEnabledAgain().set(wake);
    d->scheduleAttempt(PublisherPrivate::firstAttemptDelay());
}

bool Publisher::doPublishImpl()
{
    return d->attempt(PublisherPrivate::Chain::Continues);
}

bool Publisher::isUploading() const
{
    return d->m_batchOut;
}

bool PublisherPrivate::attempt(Chain chain)
{
    // An attempt of another chain (a call from outside starts one) must not send a second
    // batch while this publisher's own is out.
    if (m_batchOut) {
        if (chain == Chain::Continues)
            scheduleAttempt(delayAfterAttempt(AttemptEnd::LockTaken));
        return false;
    }
    // Switched off, the chain rests without touching the cache until it is switched on.
    if (!isTelemetryEnabled()) {
        endAttempt(chain, AttemptEnd::NothingToDo);
        return false;
    }
    q->m_executor = std::make_unique<SingleExecutor>(QString::fromLatin1(kMainLockName));
    if (!q->m_executor->tryToRun()) {
        endAttempt(chain, AttemptEnd::LockTaken);
        return false;
    }
    attemptUnderLock(chain);
    return true;
}

void PublisherPrivate::attemptUnderLock(Chain chain)
{
    const QScopedValueRollback<bool> attempting(m_attempting, true);
    // A file that another client holds, or that could not be opened again, is tried again a
    // period later; the collector says why.
    if (!checkCacheFile()) {
        endAttempt(chain, AttemptEnd::NothingToSend);
        return;
    }
    endAttempt(chain, uploadToNextDestination());
}

// Gives the main lock back before any upload the attempt started is answered; the chain goes
// on at once, or from that answer.
void PublisherPrivate::endAttempt(Chain chain, AttemptEnd end)
{
    if (end == AttemptEnd::UploadStarted) {
        m_uploadChain = chain;
        q->m_executor.reset();
        return;
    }
    const bool rests = chain == Chain::Continues && end == AttemptEnd::NothingToDo;
    if (rests)
        rest();
    q->m_executor.reset();
    if (chain == Chain::Continues && !rests)
        scheduleAttempt(delayAfterAttempt(end));
}

void Publisher::addedDocuments(const UploadResult &result)
{
    d->detachPendingUploader();
    d->m_answer = result;
    d->finishBatch();
}

// Under the main lock, as a flush writes: the counts that a flush reads agree with the
// batches answered. A flush holds it for a moment only, so the answer waits a little for it.
void PublisherPrivate::finishBatch()
{
    if (!m_batchOut)
        return;
    q->m_executor = std::make_unique<SingleExecutor>(QString::fromLatin1(kMainLockName));
    if (!q->m_executor->tryToRun()) {
        q->m_executor.reset();
        dispatchToThread(QThread::currentThread(), kLockRetryMs,
                         [publisher = QPointer<Publisher>(q)] {
                             if (publisher)
                                 publisher->d->finishBatch();
                         });
        return;
    }
    const QStringList &ids = q->m_pendingIds;
    const BatchVerdict verdict = m_narrowing.judge(m_pendingStorageId, ids, m_answer);
    const bool deleted = applyVerdict(verdict, ids.size());
    const bool stateKept = keepNarrowingState();
    m_storedRecords += verdict.stored.size();
    tellAnswer(verdict, ids.size(), m_answer);
    // Records that stay cached would only come back at once, as conflicts, in a hot loop while
    // the disk is full: no catch-up until a delete succeeds. Nor narrowing, when its state was
    // not kept: the next attempt would read the old one and send the same batch again.
    const bool narrowing = deleted && stateKept && m_narrowing.isNarrowing(m_pendingStorageId);
    const int stored = deleted ? int(verdict.stored.size()) : 0;
    // The claim stays while this destination's next batch follows at once.
    if (!narrowing && (stored < kFullBatch || stored < ids.size()))
        releaseClaim();
    const int delay = delayAfterUpload(stored, ids.size(), narrowing);
    m_batchOut = false;
    // A backlog drains at the server's pace: the next attempt goes on under this lock, rather
    // than take it again from the event loop (where scheduling would start one at all). Not
    // from within an attempt whose uploader answered at once: a backlog would then drain in one
    // ever deeper call.
    if (m_thread && m_uploadChain == Chain::Continues && delay == kFollowUpDelayMs && !m_attempting
        && isTelemetryEnabled()) {
        ++m_attemptSerial; // as scheduling it would: one timed before comes no more
        attemptUnderLock(Chain::Continues);
        return;
    }
    q->m_executor.reset();
    if (m_uploadChain == Chain::Continues)
        scheduleAttempt(delay);
}

Publisher *currentPublisher()
{
    return Singleton<Publisher>::getInstance();
}

} // namespace kl::telemetry
