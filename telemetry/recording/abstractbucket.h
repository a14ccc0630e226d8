#pragma once

#include "telemetry/korveltelemetry_export.h"
#include "telemetry/recording/telemetryconsent.h"

#include <QObject>
#include <QStringList>

class QJsonDocument;

namespace kl::telemetry {

class AbstractBucketPrivate;

/**
 * The destination of records. A subclass names its storage backend and its location within
 * it; placeRecord() finds the destination's storage ID once and hands records to the cache.
 *
 * Use a bucket from one thread, the thread that records.
 * \ingroup application
 */
class KORVELTELEMETRY_EXPORT AbstractBucket : public QObject
{
    Q_OBJECT
    /// Steady facts that every record of the bucket carries as flat members; see facts().
    Q_PROPERTY(QStringList facts READ facts WRITE setFacts NOTIFY factsChanged)

public:
    /// A bucket with no storage ID yet; the first placed record obtains one.
    explicit AbstractBucket(QObject *parent = nullptr);
    /// Destroys the bucket.
    ~AbstractBucket() override;

    /**
     * Queues @p record under @p id for this bucket's destination. Drops it with a warning when
     * the bucket is not valid or its storage ID cannot be obtained (the next call retries).
     * The storage ID, once obtained, stays with the bucket until the cache file is replaced;
     * the bucket then asks for its destination's ID in the new file. A lookup failure is
     * logged once, until a lookup succeeds again. Where a TelemetryConsent governs the
     * process, the record is kept with @p level, and dropped once the user's level is lower.
     */
    void placeRecord(const QString &id, const QJsonDocument &record,
                     TelemetryConsent::Level level = TelemetryConsent::Usage);

    /**
     * Drops every record of this bucket's destination: those queued in this process, and those
     * cached or set aside by any process; other destinations keep theirs. Registers nothing,
     * and works in a process that started with telemetry off too, which opens the existing
     * cache file for it (and creates none). Waits up to 2 s for the machine-wide main lock,
     * which the library's own flushes hold only for moments: false when it stays taken
     * (another process may hold it: call again later) or the delete fails, in which case the
     * cache is unchanged; true when neither this process nor the cache file knows the
     * destination. It blocks the calling thread while it waits: for worker threads and tools;
     * the application's main thread, and QML, use startPurgeDestination().
     */
    bool purgeDestination() const;

    /**
     * The same, returning at once: the purge waits up to 10 s for the main lock on a thread of
     * the global pool, and purgeDestinationFinished() tells its result in this bucket's thread.
     * The destination is the one the bucket names at the call.
     */
    Q_INVOKABLE void startPurgeDestination();

    /**
     * Facts about the application and the system that every record of the bucket carries, as
     * flat members: "SOURCE.FIELD" names the field of a built-in source that does not change
     * while the process runs ("application", "platform", "qt" or "locale", fields as listed
     * by FactSource::builtInSources()), and the member is named SOURCE followed by FIELD with
     * its first letter in upper case: "application.version" becomes "applicationVersion",
     * "platform.os" "platformOs". They are added as the bucket places a record, past the
     * record filter; a member of the record of the same name wins. Unknown names are left out,
     * with a warning at the next record. Empty unless set: records are placed as they come.
     */
    QStringList facts() const;
    /// Sets facts(); emits factsChanged() when they change.
    void setFacts(const QStringList &facts);

    /// The name of the storage backend, for example "couchdb".
    virtual QString storageBackend() const = 0;
    /// The text that names the destination within its backend; compared byte for byte.
    virtual QString storageLocationInfo() const = 0;
    /// Whether the bucket names a destination, so that records can be placed.
    virtual bool isValid() const = 0;

Q_SIGNALS:
    /// facts() changed.
    void factsChanged();
    /// A purge that startPurgeDestination() began has ended; @p purged as purgeDestination()
    /// answers.
    void purgeDestinationFinished(bool purged);

private:
    Q_DISABLE_COPY(AbstractBucket)
    friend class AbstractBucketPrivate;
    AbstractBucketPrivate *d;
};

} // namespace kl::telemetry
