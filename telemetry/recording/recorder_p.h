#pragma once

#include "telemetry/recording/abstractbucket.h"
#include "telemetry/recording/recorder.h"

#include <QJsonDocument>
#include <QPointer>
#include <QVariantMap>

#include <functional>

namespace kl::telemetry {

class RecorderPrivate
{
public:
    explicit RecorderPrivate(Recorder *qq)
        : q(qq)
    {
    }

    static const RecorderPrivate *get(const Recorder *recorder) { return recorder->d; }
    static RecorderPrivate *get(Recorder *recorder) { return recorder->d; }

    /// Starts the collector, the registry and the publisher, in this order, once per process.
    static void init();

    /// The record that record() would make now, under @p id and @p timestamp.
    QJsonDocument document(const QString &id, qint64 timestamp) const;
    /// Why record() would make no record now; None when it would.
    enum class Refusal { None, Disabled, NoBucket, LevelRefused, Untracked, NoApplication };
    Refusal refusal() const;
    /// Says @p refusal in the log, as record() does.
    void explain(Refusal refusal) const;
    /// Enters the recorder into the catalogue of metric types, unless it is there as it is.
    void enterCatalogue();
    /// After a change: enters a described recorder at once, an undescribed one at its next record.
    void catalogueAgain();

    Recorder *q;
    QString m_type;
    // Cleared when the bucket is destroyed, which then counts as no bucket.
    QPointer<AbstractBucket> m_bucket;
    TelemetryConsent::Level m_level = TelemetryConsent::Usage;
    QString m_description;
    // Whether the catalogue of metric types knows the type, level and description as they are.
    bool m_catalogued = false;
    // Members that a subclass adds after the properties, by name; called by every record.
    std::function<QVariantMap()> m_moreMembers;
};

} // namespace kl::telemetry
