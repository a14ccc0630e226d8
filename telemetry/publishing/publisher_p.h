#pragma once

#include "telemetry/publishing/publisher.h"

#include "telemetry/publishing/backoff_p.h"
#include "telemetry/publishing/batchnarrowing_p.h"
#include "telemetry/publishing/cachefilewatch_p.h"
#include "telemetry/publishing/documentuploader.h"
#include "telemetry/publishing/uploadresult.h"
#include "telemetry/runtime/hook_p.h"
#include "telemetry/runtime/singleexecutor.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMap>
#include <QMutex>
#include <QPointer>
#include <QSet>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace kl::telemetry {

/// What became of one batch that this process sent.
struct BatchAnswer
{
    QString locationInfo; ///< of the destination
    int sent = 0;
    int stored = 0;
    QString error; ///< the first refusal's reason, else the upload's error; may be empty
    int httpStatus = 0; ///< of the answer; 0 when none came
};

class PublisherPrivate
{
public:
    // A batch this full suggests that more are waiting.
    // After a full batch that was taken the next goes at once, to drain a backlog at the
    // server's pace: no lock is held across the network, so flushes find it free meanwhile.
    static constexpr int kFollowUpDelayMs = 0;
    // A walk that ran out of time goes on after a moment, so that flushes get the lock.
    static constexpr int kWalkResumeMs = 20;
    // How long the main lock is waited for in its queue before a take looks at its holder.
    static constexpr int kQueuedLockWaitMs = 1000;

    // What the publisher is doing. Attempts from outside the chain, those of publishPending(),
    // pass through attempting, uploading and finishing too.
    enum class State {
        Stopped, // no chain: before initialize(), attempts come from publishPending() only
        Waiting, // the next attempt is timed, or waits in the main lock's queue
        Resting, // nothing to send: no attempt comes until a wake
        Attempting, // an attempt runs under the main lock
        Uploading, // batches are out, their answers awaited
        Finishing, // answers wait in the main lock's queue to be applied
    };

    // How a publish attempt ended; it decides when the next one comes.
    enum class AttemptEnd {
        LockTaken,
        UploadStarted,
        WalkPaused, // the time budget ran out before the pass was done
        NothingToSend, // the pass came to its end, and a fresh one too where there was time
        NothingToDo, // nothing is cached, or telemetry is switched off: rest until woken
        AnswerAwaited, // with a batch out, another destination has records: they go after it
    };

    // Whether an attempt, and the upload it starts, schedule the next attempt.
    enum class Chain {
        Continues,
        Ends, // an attempt of publishPending(), which makes its own
    };

    // The next batch of a destination, as read from the cache.
    struct ReadBatch
    {
        QStringList ids;
        QStringList documents;
        QString account; // the login it goes with; empty for none
        // Records wait that the request byte bound left out: a backlog, as after a full batch.
        bool cutByBytes = false;
    };

    // A batch sent and not yet applied to the cache.
    struct OutBatch
    {
        QStringList ids;
        QPointer<DocumentUploader> uploader;
        // The destination's narrowing state as it was read with the batch.
        QByteArray narrowingState;
        std::optional<UploadResult> answer;
        bool cutByBytes = false;
    };

    // What the answers applied during one publishPending() call achieved.
    struct PendingCall
    {
        QSet<QString> stored; // each record once, though it may come back as a conflict
        int setAside = 0; // of destinations this process records to
        QString error;
        // Destinations that answered what no retry changes (credentials refused, no such
        // database): the call sends them nothing more.
        QSet<int> hopeless;
        // Waits for the next answer: it quits once one is applied.
        QEventLoop *loop = nullptr;
    };

    explicit PublisherPrivate(Publisher *qq)
        : q(qq)
    {
    }

    // Told of each answered batch, on the publisher's thread; the status shows it.
    static Hook<void(const BatchAnswer &)> &batchAnswered();

    void startChain();
    void scheduleAttempt(int delayMs);
    void queueAttempt();
    quint64 nextAttemptSerial();
    bool holdMainLock();
    void waitForMainLock(QThread *thread, std::function<void()> then);
    void rest();
    void watchWhileResting();
    void wake();
    void wakeFromAnyThread();
    void cacheWritten();
    void lookForLeftRecords();
    void watchDutyTakenFromAnyThread();
    static int firstAttemptDelay();
    int delayAfterAttempt(AttemptEnd end) const;
    int delayAfterUpload(int stored, const OutBatch &batch, bool narrowing);
    bool isCatchingUp() const;

    bool attempt(Chain chain);
    void attemptUnderLock(Chain chain);
    void endAttempt(Chain chain, AttemptEnd end);
    AttemptEnd uploadToNextDestination();
    AttemptEnd endOfPass() const;
    void startPass();
    bool readBatch(int storageId, const QElapsedTimer &walk, const QStringList &logins,
                   ReadBatch &read);
    int setAsideUnsendable(int storageId, const QVector<BatchVerdict::SetAside> &records) const;
    bool keepNarrowingState(const QByteArray &stateRead);
    bool waits(int storageId) const;
    void countSetAside(int storageId, int count) const;
    void noteAnswer(const BatchVerdict &verdict, const UploadResult &answer, bool deleted,
                    bool stateKept);
    void resetBackoffFromAnyThread();
    bool claim(int storageId);
    void releaseClaim();
    DocumentUploader *idleUploader(int storageId, DocumentUploader *uploader) const;
    void startUpload(int storageId, DocumentUploader *uploader, const ReadBatch &read);
    bool mayAddBatch() const;
    void addBatches();
    void takeAnswer(DocumentUploader *uploader, const UploadResult &result);
    void finishBatch();
    void resumeChain(int delayMs);
    int applyAnswer(const OutBatch &batch);
    bool applyVerdict(const BatchVerdict &verdict, int sent) const;
    void tellAnswer(const BatchVerdict &verdict, int sent, const UploadResult &result) const;
    bool checkCacheFile();
    void detach(DocumentUploader *uploader);
    void abandonUpload();
    bool isPublisherThread();
    bool isOwnThreadElsewhere();
    PublishOutcome publishPendingOnOwnThread(int timeoutMs);
    void abandonUploadOnItsThread();
    void stopOwnThread();
    int recordsOfThisProcess(const QSet<int> &except = {}) const;
    int pendingStepMs(const QDeadlineTimer &deadline) const;

    Publisher *q;
    QMutex m_mutex;
    // Set once; tracked, since a host may delete the thread once it has finished.
    std::optional<QPointer<QThread>> m_thread;
    // The library's own thread, when startInBackground() made one; it ends with the application.
    QThread *m_ownThread = nullptr;
    // Only the latest attempt timed runs, so that a wake can bring the next one forward.
    quint64 m_attemptSerial = 0;
    State m_state = State::Stopped;
    // A look for records that another client left is timed.
    bool m_lookPending = false;
    // A wake from another thread is on its way: a burst of them makes one.
    std::atomic<bool> m_wakePosted { false };
    std::unique_ptr<CacheFileWatch> m_cacheWatch;
    BatchNarrowing m_narrowing;
    // The narrowing state of a destination as it was read with its latest batch.
    QByteArray m_narrowingState;
    // In the order they went out: several while a backlog drains, else one at most.
    QVector<OutBatch> m_out;
    // The destination of the batches out.
    int m_outStorageId = 0;
    // The destination this process has claimed; 0 when none.
    int m_claimedStorageId = 0;
    // The cache file generation the uploaders of the current pass were taken from.
    int m_cacheGeneration = 0;
    // A backlog is assumed while the current pass or the one before it had a full batch taken.
    bool m_fullBatchInPass = false;
    bool m_fullBatchInLastPass = false;
    Chain m_uploadChain = Chain::Continues;
    // The main lock out of its queue, for the work that waited for it; held meanwhile.
    std::unique_ptr<SingleExecutor> m_lockFromQueue;
    PublishingBackoff m_backoff;
    // The main lock while an attempt or the applying of answers holds it.
    std::unique_ptr<SingleExecutor> m_executor;
    // The destinations the current pass has yet to visit, by storage ID.
    QMap<int, DocumentUploader *> m_uploaders;
    // The records of the batches out, oldest first.
    QStringList m_pendingIds;
    // While publishPending() runs: what its answers achieved so far.
    PendingCall *m_pendingCall = nullptr;
};

} // namespace kl::telemetry
