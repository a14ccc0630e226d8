#pragma once

#include "telemetry/korveltelemetry_export.h"

#include <QObject>
#include <QString>
#include <QVariantList>

namespace kl::telemetry {

class TelemetryConsentPrivate;

/**
 * The user's decision about an application's telemetry, with its level. The decision is kept
 * in the cache file, per user and application, so that every process of the application and
 * its next run see it; a change made in one process reaches the consents of the others within
 * a second.
 *
 * Once a process makes a TelemetryConsent, its records are governed by the decision of the
 * consent's application: nothing is recorded while the user has not decided, and then only the
 * records whose Recorder::level the decided level includes. Lowering the level drops, at once,
 * the application's cached records that the new level does not allow, in every process. A
 * process that makes none records as the policy says. TelemetryPolicy::setEnabled(false)
 * switches everything off whatever the user decided.
 *
 * The decision is read from the cache file when the consent is made, and whenever another
 * process changes it; decisions are written off the calling thread, which never waits for
 * the cache. Use a consent from the thread that runs the application's event loop; give all
 * consents of a process the same application: the last one named governs its records.
 * \ingroup application
 */
class KORVELTELEMETRY_EXPORT TelemetryConsent : public QObject
{
    Q_OBJECT
    /// The application the decision is about; see application().
    Q_PROPERTY(QString application READ application WRITE setApplication NOTIFY applicationChanged)
    /// The level the user decided (read-only; setLevel() records a decision); see level().
    Q_PROPERTY(Level level READ level NOTIFY levelChanged)
    /// Whether the user has decided (read-only); see isDecided().
    Q_PROPERTY(bool decided READ isDecided NOTIFY decidedChanged)
    /// The metric types of this process, by level (read-only); see metrics().
    Q_PROPERTY(QVariantList metrics READ metrics NOTIFY metricsChanged)

public:
    /// What the user lets the application send; each level includes those below it.
    enum Level {
        NoTelemetry, ///< nothing
        Basic, ///< facts about the application and the system
        Usage, ///< usage counts, and the application's own records of this level
        Detailed, ///< everything
    };
    Q_ENUM(Level)

    /// The decision of defaultApplication(), as the cache file keeps it.
    explicit TelemetryConsent(QObject *parent = nullptr);
    /// Destroys the consent.
    ~TelemetryConsent() override;

    /// The application the decision is about; defaultApplication() unless set.
    QString application() const;
    /// Sets application(), reads its decision and governs the process's records by it; emits
    /// applicationChanged() when it changes.
    void setApplication(const QString &application);
    /// The application's organisation domain and name, "<domain>/<name>".
    static QString defaultApplication();

    /// The level the user decided; NoTelemetry while undecided.
    Level level() const;
    /// Whether the user has decided.
    bool isDecided() const;

    /**
     * The metric types of this process, described (Recorder::description) or recorded, by
     * level and then by type: maps with the keys "type", "level", "description", "described"
     * (false for a type recorded without a description) and "example" (a record as the type's
     * recorder would make it now, indented JSON).
     */
    QVariantList metrics() const;
    /// The metrics() of @p level alone: what choosing it adds to the levels below.
    Q_INVOKABLE QVariantList metricsOfLevel(kl::telemetry::TelemetryConsent::Level level) const;

    /// Records the user's decision for @p level; it is kept in the cache file off this thread.
    Q_INVOKABLE void setLevel(kl::telemetry::TelemetryConsent::Level level);
    /// Forgets the decision: the user is asked again, and nothing is recorded until then.
    Q_INVOKABLE void reset();
    /**
     * The user's "delete my data": drops every record of the application, those queued in
     * this process and those that any process cached, set aside or kept as sent; off this
     * thread, dataDeleted() tells the result. The decision stays as it is.
     */
    Q_INVOKABLE void deleteMyData();

Q_SIGNALS:
    /// deleteMyData() has deleted everything (@p deleted), or could not (the cache file cannot
    /// be written, or another process held it for 10 s); then nothing of it was deleted.
    void dataDeleted(bool deleted);
    /// application() changed.
    void applicationChanged();
    /// level() changed, here or in another process.
    void levelChanged();
    /// isDecided() changed, here or in another process.
    void decidedChanged();
    /// metrics() changed: a type was described or recorded, or its description changed.
    void metricsChanged();
    /// A setLevel() or reset() of this object was kept in the cache file (@p stored), or could
    /// not be (the cache file cannot be written); the decision holds in this process either way.
    void decisionStored(bool stored);

private:
    Q_DISABLE_COPY(TelemetryConsent)
    friend class TelemetryConsentPrivate;
    TelemetryConsentPrivate *d;
};

} // namespace kl::telemetry
