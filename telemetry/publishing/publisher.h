#pragma once

#include "telemetry/korveltelemetry_export.h"
#include "telemetry/runtime/singleton.h"

#include <QObject>
#include <QString>

namespace kl::telemetry {

class PublisherPrivate;
class UploadResult;

/// What Publisher::publishPending() achieved.
/// \ingroup application
struct PublishOutcome
{
    /// Records that destinations reported stored during the call, each counted once, though
    /// it may have been sent again when the cache could not delete it.
    int published = 0;
    /// Records this process recorded that are still queued or cached, less those that wait
    /// for a login this process does not have.
    int remaining = 0;
    /// Records of this process's destinations set aside during the call: refused too often, or
    /// never sendable (see DataCollector::setAsideRecords()).
    int setAside = 0;
    /// The last failure during the call, for example "HTTP 401, unauthorized: Name or
    /// password is incorrect."; empty when there was none.
    QString error;
};

/**
 * Moves cached records to their destinations: a chain of publish attempts on the library's
 * own thread (startInBackground(), as a Recorder starts it) or on the thread that called
 * initialize(), which must run an event loop. Each attempt sends at most 25
 * records of one destination, passing over destinations that have nothing to send. Attempts
 * come DataTransferFrequency ms apart, the first ones and those after finding the lock taken
 * spread at random; after a full batch that the destination took they come within a few tens
 * of milliseconds, so that a backlog drains at the server's pace, with up to four of its
 * batches out at once. Once an attempt finds the cache empty, or telemetry switched off, the
 * chain rests until this process caches records, telemetry is switched on again or another
 * process writes to the cache file; the next attempt comes DataTransferFrequency ms after that.
 *
 * An attempt holds the machine-wide main lock while it reads the cache and claims the
 * destination it sends a batch of, and again while it applies the answer, never while it
 * waits for a server. The claim, kept in the cache file, keeps publishers of other processes
 * off that destination until its backlog is sent or, when its process died meanwhile,
 * NetworkManager::uploadTimeout() + 10 s after it was made.
 * Records are deleted from the cache only once their destination reports them stored. A batch
 * refused for its content is halved on the following attempts until the refused record goes
 * alone, and grows back, doubling, as batches are stored whole; a record refused on its own three
 * times running is set aside (DataCollector::setAsideRecords()).
 *
 * A destination whose batches keep failing (credentials refused, no connection, time-outs,
 * server errors, a cache that cannot take the answer) is tried DataTransferFrequency ms after
 * its first failure, then twice as long after each further one, up to 5 minutes, while the
 * others go on as usual. It is back at the usual pace after an answer for its records, a
 * change of a bucket's server, database or login, or publishPending(). A destination that
 * starts failing, or fails for another reason, is logged once as a warning; its recovery once.
 * \ingroup application advanced
 */
class KORVELTELEMETRY_EXPORT Publisher : public QObject, public Singleton<Publisher>
{
    Q_OBJECT

public:
    /// The publisher; the process has one, currentPublisher(). Nothing starts before initialize()
    /// or startInBackground().
    Publisher();
    /// Destroys the publisher.
    ~Publisher() override;

    /// Starts the chain on the calling thread; only the first call of this and
    /// startInBackground() has an effect.
    void initialize();

    /**
     * Starts the chain on a thread of the library's own, where every step of publishing runs:
     * reading batches from the cache, building requests, applying answers. The application's
     * threads never wait for any of it. A Recorder starts the publisher this way. Call it on the
     * thread the publisher was made in (else the chain starts on the calling thread, as with
     * initialize()); only the first call of this and initialize() has an effect. The thread ends
     * when the application object is destroyed, once the upload in flight is given up.
     */
    void startInBackground();

    /// One publish attempt, on the publisher thread; false when the main lock was taken.
    bool doPublishImpl();
    /// Whether a batch of this publisher is out: sent, or answered and not yet applied to the
    /// cache. Publisher thread.
    bool isUploading() const;
    /// Whether the chain rests, having found nothing to send: no attempt comes until this
    /// process caches records, telemetry is switched on again or the cache file is written to.
    /// Publisher thread.
    bool isResting() const;

    /**
     * For a program about to end, which cannot wait for the usual pace: writes what is queued
     * into the cache and publishes, batch after batch, until nothing this process recorded is
     * queued or cached any more or @p timeoutMs have passed. Other processes' records go too
     * when their destination's turn comes. Every destination starts afresh from any back-off;
     * one that fails waits between its attempts as in the chain, and one that refuses the
     * credentials (401, 403) or has no such database (404) is not tried again during the
     * call. When it returns, the last answer has been applied and the status told of it. Call it,
     * for example just before returning from main(), on the thread that started the library or,
     * once startInBackground() has, on any thread: it processes the calling thread's events while
     * it waits. With a chain started by initialize(), it answers at once on any other thread. The
     * usual chain of attempts goes on as before.
     */
    PublishOutcome publishPending(int timeoutMs);

public Q_SLOTS:
    /// Completion of an upload started by an attempt.
    void addedDocuments(const kl::telemetry::UploadResult &result);

private:
    Q_DISABLE_COPY(Publisher)
    friend class PublisherPrivate;

    PublisherPrivate *d;
};

/// The publisher of the process.
/// \ingroup application
KORVELTELEMETRY_EXPORT Publisher *currentPublisher();

} // namespace kl::telemetry
