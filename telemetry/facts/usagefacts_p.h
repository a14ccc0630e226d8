#pragma once

#include "telemetry/facts/factsource.h"

#include <QObject>

#include <atomic>

namespace kl::telemetry {

/**
 * The "usage" source: how often and how long the application is used, as the cache file
 * counts it ("startCount", "usageSeconds", and "firstStart" and "lastStart" as ISO 8601 UTC
 * times). Empty until this process's start is counted, at the first flush after
 * countThisStart().
 */
class UsageFacts : public FactSource
{
public:
    QString id() const override;
    QString description() const override;
    TelemetryConsent::Level level() const override;
    QJsonObject value() const override;
};

/// Tells, once per process, that the cache file has counted this process's start.
class UsageCount : public QObject
{
    Q_OBJECT

public:
    static UsageCount *instance();
    bool isCounted() const;

Q_SIGNALS:
    /// From the flushing thread.
    void counted();

private:
    friend void countThisStart();
    std::atomic<bool> m_counted { false };
};

/**
 * Counts this process as a start of the application (the one whose consent governs it, or
 * "<organisation domain>/<application name>") and its running time, from the first call on.
 * Needs the application object.
 */
void countThisStart();

} // namespace kl::telemetry
