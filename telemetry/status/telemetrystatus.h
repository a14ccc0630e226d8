#pragma once

#include "telemetry/korveltelemetry_export.h"

#include <QDateTime>
#include <QObject>
#include <QVariantMap>

namespace kl::telemetry {

class TelemetryStatus;
class TelemetryStatusPrivate;

/// The status of the process, created on the first call.
/// \ingroup application
KORVELTELEMETRY_EXPORT TelemetryStatus *currentTelemetryStatus();

/**
 * What telemetry is doing in this process, for applications to show: records waiting, the
 * last upload and the last failure. One instance per process, reached through
 * currentTelemetryStatus() in C++ and as the singleton TelemetryStatus in the QML module
 * Korvel.Telemetry 1.0; it lives in the application's main thread, whose event loop delivers
 * its signals.
 *
 * The counts are refreshed after each flush that writes records into the cache and after each
 * answered batch, not after each record; and, while something is connected to
 * cachedCountsChanged() or destinationErrorsChanged() (a QML binding, for instance), after
 * another process writes to the cache file, which is watched, never polled, meanwhile. A
 * destination is named by its database URL, the bucket's server followed by its database
 * ("http://host:5984/events"): the same in every process and across cache files, and what the
 * application itself configured.
 * \ingroup application
 */
class KORVELTELEMETRY_EXPORT TelemetryStatus : public QObject
{
    Q_OBJECT
    /// Records queued in this process and not yet cached (read-only); see queuedCount().
    Q_PROPERTY(int queuedCount READ queuedCount NOTIFY queuedCountChanged)
    /// Records dropped at the queue's bound since the process started (read-only); see
    /// droppedCount().
    Q_PROPERTY(int droppedCount READ droppedCount NOTIFY queuedCountChanged)
    /// Cached records per destination name (read-only); see cachedCounts().
    Q_PROPERTY(QVariantMap cachedCounts READ cachedCounts NOTIFY cachedCountsChanged)
    /// The sum of cachedCounts (read-only); see cachedCount().
    Q_PROPERTY(int cachedCount READ cachedCount NOTIFY cachedCountsChanged)
    /// Cached records that wait for a login this process does not have, per destination
    /// (read-only); see waitingForLogin().
    Q_PROPERTY(QVariantMap waitingForLogin READ waitingForLogin NOTIFY cachedCountsChanged)
    /// When this process last had records stored (read-only); see lastPublishTime().
    Q_PROPERTY(QDateTime lastPublishTime READ lastPublishTime NOTIFY lastPublishChanged)
    /// The destination of the last stored batch (read-only); see lastPublishDestination().
    Q_PROPERTY(QString lastPublishDestination READ lastPublishDestination NOTIFY lastPublishChanged)
    /// How many records of the last batch were stored (read-only); see lastPublishCount().
    Q_PROPERTY(int lastPublishCount READ lastPublishCount NOTIFY lastPublishChanged)
    /// Why the last batch not stored in full failed (read-only); see lastError().
    Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)
    /// The HTTP status of that failure (read-only); see lastErrorStatus().
    Q_PROPERTY(int lastErrorStatus READ lastErrorStatus NOTIFY lastErrorChanged)
    /// The error of each destination whose last batch failed (read-only); see destinationErrors().
    Q_PROPERTY(QVariantMap destinationErrors READ destinationErrors NOTIFY destinationErrorsChanged)

public:
    /// Destroys the status.
    ~TelemetryStatus() override;

    /// Records queued in this process and not yet written into the cache.
    int queuedCount() const;
    /// Records this process dropped from its queue at the queue's bound (see
    /// DataCollector::maxQueuedRecords()) since it started.
    int droppedCount() const;
    /// Cached records per destination name (an int per key), of every application sharing the
    /// cache; a destination with no cached record is absent.
    QVariantMap cachedCounts() const;
    /// The sum of cachedCounts().
    int cachedCount() const;
    /**
     * Of cachedCounts(), the records recorded with a login that this process does not have
     * for their destination (an int per destination name; absent when none): they go out
     * only with their own login, once a process that has it publishes.
     */
    QVariantMap waitingForLogin() const;
    /// When this process last had records stored by a destination; invalid before that.
    QDateTime lastPublishTime() const;
    /// The destination of that batch.
    QString lastPublishDestination() const;
    /// How many records of that batch the destination stored.
    int lastPublishCount() const;
    /// Why the last batch that was not stored in full failed; empty again once a batch is.
    QString lastError() const;
    /// The HTTP status of that failure; 0 when there is none or no answer came.
    int lastErrorStatus() const;
    /**
     * Why the last batch of each destination that failed was not stored in full (a string per
     * destination name, as in cachedCounts()); a destination is absent again once it stores a
     * batch in full. Unlike lastError(), one destination's success leaves another's error, and
     * the batches of every process sharing the cache count, as the cache file keeps their
     * answers (read with the cached counts).
     */
    QVariantMap destinationErrors() const;

    /**
     * Moves every record set aside in the cache (by any process) back into it, for the
     * publishers to try again. Returns at once; the work waits for the machine-wide lock on a
     * pool thread, and setAsideRetried() tells the result. For a "retry" button in QML or
     * widgets; DataCollector::retrySetAside() takes chosen records.
     */
    Q_INVOKABLE void retrySetAside();
    /// Deletes every set-aside record for good, as retrySetAside() works; setAsidePurged()
    /// tells the result.
    Q_INVOKABLE void purgeSetAside();

Q_SIGNALS:
    /// queuedCount() or droppedCount() changed.
    void queuedCountChanged();
    /// cachedCounts(), and with it cachedCount(), changed.
    void cachedCountsChanged();
    /// A destination stored records again; emitted just before batchPublished().
    void lastPublishChanged();
    /// lastError() or lastErrorStatus() changed.
    void lastErrorChanged();
    /// destinationErrors() changed.
    void destinationErrorsChanged();
    /// A destination stored @p stored records of one batch sent by this process.
    void batchPublished(const QString &destination, int stored);
    /// A retrySetAside() call has ended; @p done is false when the cache could not be changed.
    void setAsideRetried(bool done);
    /// A purgeSetAside() call has ended; @p done as for setAsideRetried().
    void setAsidePurged(bool done);

protected:
    /// Starts watching the cache file once something listens to the counts.
    void connectNotify(const QMetaMethod &signal) override;
    /// Stops watching it once nothing listens to the counts any more.
    void disconnectNotify(const QMetaMethod &signal) override;

private:
    TelemetryStatus();
    Q_DISABLE_COPY(TelemetryStatus)
    friend class TelemetryStatusPrivate;
    friend TelemetryStatus *currentTelemetryStatus();
    TelemetryStatusPrivate *d;
};

} // namespace kl::telemetry
