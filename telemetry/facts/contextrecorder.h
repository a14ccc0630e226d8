#pragma once

#include "telemetry/facts/factsource.h"
#include "telemetry/recording/recorder.h"

namespace kl::telemetry {

class ContextRecorderPrivate;

/**
 * Records the facts about the application and the system: one document of type
 * "korvel.context" per record(), with one member per source, named by the source's id and
 * holding its facts ("application": {"version": …}, "platform": {"os": …}, …). A source with
 * no facts yet is left out.
 *
 * A source is left out where a TelemetryConsent governs the process and its decided level does
 * not include the source's level; without one, every source is recorded, as every record is.
 * The record itself needs level(), Basic unless set. The sources are the built-in ones, and
 * those the host adds.
 *
 * With a schedule() other than WhenTold it also records by itself, once it has a bucket and
 * the cache file has counted this start (the "usage" facts). A record the consent does not
 * allow when it is due is not made up for: the next one is.
 * \ingroup application
 */
class KORVELTELEMETRY_EXPORT ContextRecorder : public Recorder
{
    Q_OBJECT
    /// When the recorder records by itself; see schedule().
    Q_PROPERTY(Schedule schedule READ schedule WRITE setSchedule NOTIFY scheduleChanged)

public:
    /// When the recorder records without being told.
    enum Schedule {
        WhenTold, ///< never: only record() records
        EachStart, ///< once per start of the application
        Daily, ///< at a start, and each day the application runs, at most once a day
    };
    Q_ENUM(Schedule)

    /// A recorder of type "korvel.context" at level Basic, described for a consent dialog,
    /// with the built-in sources.
    explicit ContextRecorder(QObject *parent = nullptr);
    /// Destroys the recorder.
    ~ContextRecorder() override;

    /// The sources whose facts the records carry, in the order they were added.
    QList<std::shared_ptr<const FactSource>> sources() const;
    /// Adds @p source; a source of the same id is replaced.
    void addSource(std::shared_ptr<const FactSource> source);
    /**
     * Every source, whatever the user's consent allows, for a consent view to show: a map per
     * source with its "id", "description", "level" (a TelemetryConsent::Level) and current
     * "value" (an object of its facts).
     */
    Q_INVOKABLE QVariantList describeSources() const;

    /// When it records by itself; WhenTold unless set. Daily counts the day from the last
    /// context record of any process of the application.
    Schedule schedule() const;
    /// Sets schedule(); emits scheduleChanged() when it changes.
    void setSchedule(Schedule schedule);

Q_SIGNALS:
    /// schedule() changed.
    void scheduleChanged();

private:
    Q_DISABLE_COPY(ContextRecorder)
    ContextRecorderPrivate *d;
};

} // namespace kl::telemetry
