#pragma once

#include "telemetry/korveltelemetry_export.h"

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
 * Constructing a Recorder starts the library's machinery on the constructing thread, which
 * must run an event loop for the life of the process; use a Recorder from that thread. Should
 * that thread end, flushing moves to the main thread and publishing stops, with a critical
 * message. The recorder does not own its bucket; a destroyed bucket counts as no bucket.
 */
class KORVELTELEMETRY_EXPORT Recorder : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString type READ type WRITE setType NOTIFY typeChanged)
    Q_PROPERTY(
        kl::telemetry::AbstractBucket *bucket READ bucket WRITE setBucket NOTIFY bucketChanged)

public:
    explicit Recorder(QObject *parent = nullptr);
    ~Recorder() override;

    QString type() const;
    void setType(const QString &type);
    AbstractBucket *bucket() const;
    void setBucket(AbstractBucket *bucket);

Q_SIGNALS:
    void typeChanged();
    void bucketChanged();

public Q_SLOTS:
    /// Records one metric; drops it with a log line when there is no bucket or the policy
    /// does not track the type.
    void record();

private:
    Q_DISABLE_COPY(Recorder)
    RecorderPrivate *d;
};

/**
 * The process-wide filter of metric types; by default every type is recorded. Replace it
 * while no record() runs on another thread, normally once at start-up.
 */
class KORVELTELEMETRY_EXPORT TelemetryPolicy
{
public:
    static bool isTrackedMetric(const QString &type);
    static void setPolicyImplementation(std::function<bool(const QString &)> policy);

    static std::function<bool(const QString &)> m_policyImpl;

private:
    TelemetryPolicy() = delete;
};

} // namespace kl::telemetry
