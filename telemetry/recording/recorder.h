#pragma once

#include "telemetry/korveltelemetry_export.h"
#include "telemetry/recording/telemetryconsent.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>

namespace kl::telemetry {

class AbstractBucket;
class RecorderPrivate;

/**
 * Records metrics: each record() turns the object's current properties into one JSON
 * document ("_id", "timestamp", "type" and every further declared property that is not an
 * object or custom type) and places it in the bucket.
 *
 * Properties whose names begin with "_" are left out: CouchDB reserves such names ("_rev",
 * "_deleted", "_attachments" change what it stores, and "_id" is the generated one). A double
 * or float property that holds NaN or an infinity is written as null. Each is logged at warning
 * level once per metric type and property name in the process.
 *
 * Constructing a Recorder starts the library's machinery on the constructing thread, which
 * must run an event loop for the life of the process; use a Recorder from that thread. One made
 * before the QCoreApplication starts it from the application's constructor; records made
 * while no application object exists are dropped, with one warning. Should
 * that thread end, flushing moves to the main thread and publishing stops, with a critical
 * message. The recorder does not own its bucket; a destroyed bucket counts as no bucket.
 *
 * Where a TelemetryConsent governs the process, a record is made only when the level the user
 * decided includes the recorder's level().
 * \ingroup application
 */
class KORVELTELEMETRY_EXPORT Recorder : public QObject
{
    Q_OBJECT
    /// The metric type written into every record; see type().
    Q_PROPERTY(QString type READ type WRITE setType NOTIFY typeChanged)
    /// Where records go; see bucket().
    Q_PROPERTY(
        kl::telemetry::AbstractBucket *bucket READ bucket WRITE setBucket NOTIFY bucketChanged)
    /// The consent level that the records need; see level().
    Q_PROPERTY(
        kl::telemetry::TelemetryConsent::Level level READ level WRITE setLevel NOTIFY levelChanged)
    /// What the records are for, in words the user understands; see description().
    Q_PROPERTY(QString description READ description WRITE setDescription NOTIFY descriptionChanged)

public:
    /// A recorder with no type and no bucket; the first one starts the library.
    explicit Recorder(QObject *parent = nullptr);
    /// Destroys the recorder.
    ~Recorder() override;

    /// The metric type, written as "type" into every record and checked by the policy.
    QString type() const;
    /// Sets type(); emits typeChanged() when it changes.
    void setType(const QString &type);
    /// Where records go; null when unset or when the bucket was destroyed.
    AbstractBucket *bucket() const;
    /// Sets bucket(); emits bucketChanged() when it changes. The bucket is not owned.
    void setBucket(AbstractBucket *bucket);
    /// The consent level that the records need; TelemetryConsent::Usage unless set.
    TelemetryConsent::Level level() const;
    /// Sets level(); emits levelChanged() when it changes.
    void setLevel(TelemetryConsent::Level level);
    /**
     * What the records of type() are for, in words the user understands; TelemetryConsent
     * lists it, with level() and an example record, for the consent dialog. Empty unless set:
     * the type is listed as undescribed once recorded, with a warning in debug builds of a
     * process that makes a TelemetryConsent.
     */
    QString description() const;
    /// Sets description(); emits descriptionChanged() when it changes.
    void setDescription(const QString &description);

Q_SIGNALS:
    /// type() changed.
    void typeChanged();
    /// bucket() changed.
    void bucketChanged();
    /// level() changed.
    void levelChanged();
    /// description() changed.
    void descriptionChanged();

public Q_SLOTS:
    /// Records one metric; drops it with a log line when there is no bucket, or the policy or
    /// the user's consent does not allow it.
    void record();

private:
    Q_DISABLE_COPY(Recorder)
    friend class RecorderPrivate;
    RecorderPrivate *d;
};

/**
 * The process-wide filter of metric types; by default every type is recorded. Replace it
 * while no record() runs on another thread, normally once at start-up.
 * \ingroup application
 */
class KORVELTELEMETRY_EXPORT TelemetryPolicy
{
public:
    /// Whether records of @p type are made; asks the installed filter.
    static bool isTrackedMetric(const QString &type);
    /// Installs @p policy as the filter of metric types.
    static void setPolicyImplementation(std::function<bool(const QString &)> policy);

    /// Whether telemetry is on in this process; true unless the host switched it off.
    static bool isEnabled();
    /**
     * The host's consent switch, any thread. While off, record() drops every record, flushes
     * write nothing and the publisher sends nothing; records queued before stay queued. A
     * process that starts with it off creates no cache file until it is switched on.
     */
    static void setEnabled(bool enabled);

    /**
     * What a record filter gets: each record as a JSON object, before it is queued, on the
     * recording thread. It may change the record (scrub a path, round a number) and returns
     * false to drop it. It sees the record without "_id": the library adds its own afterwards.
     */
    using RecordFilter = std::function<bool(QJsonObject &record)>;
    /// Installs @p filter for every record from now on; an empty one removes it. Any thread;
    /// a record() running meanwhile on another thread finishes with the filter it began with.
    static void setRecordFilter(RecordFilter filter);

    /// The installed filter; by default it tracks every type.
    static std::function<bool(const QString &)> m_policyImpl;

private:
    TelemetryPolicy() = delete;
};

} // namespace kl::telemetry
