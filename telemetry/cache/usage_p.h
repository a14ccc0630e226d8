#pragma once

#include "telemetry/cache/datacollector.h"

#include <QMutex>
#include <QSqlDatabase>

#include <functional>
#include <optional>

namespace kl::telemetry {

// An application's starts and usage time, as the flushes of its processes count them.
struct ApplicationUsage
{
    long long startCount = 0; // how many of its processes started and were counted
    long long usageMs = 0; // how long they ran, this process so far included
    long long firstStart = 0; // when the first counted one started, in ms since the epoch
    long long lastStart = 0; // when the last one started, in ms since the epoch
    long long lastContext = 0; // when its context was last recorded, 0 for never
};

/// Each application's starts and usage time (telemetry_usage).
constexpr QLatin1String kUsageTable("telemetry_usage");

/**
 * This process's share of its application's usage: its start, counted once, and its time,
 * added up to the moment of each flush that writes the cache and of the write at exit. An
 * idle process writes nothing until then; a crash loses the time since the last flush.
 */
class UsageLedger
{
public:
    /// Counts this process as a start of @p application from now; @p counted is called, from
    /// the flushing thread, once the cache file has counted it. The first call only.
    void start(const QString &application, std::function<void()> counted);
    /// Whether start() was called: every write adds this process's time.
    bool isCounting() const;
    /// Whether the next flush has something to write although no record is queued.
    bool hasNews() const;
    void noteContext(qint64 at);

    /// Inside the flush's transaction: adds the start and time not counted yet, and reads the
    /// figures back. False, with SQLite's reason in @p error, when a statement fails.
    bool write(const QSqlDatabase &db, QString *error);
    /// After the transaction of write() committed.
    void committed();

    std::optional<ApplicationUsage> figures() const;

private:
    mutable QMutex m_mutex;
    QString m_application;
    std::function<void()> m_counted;
    qint64 m_startedAt = 0;
    qint64 m_countedUntil = 0; ///< 0 until the start is counted
    qint64 m_contextAt = 0; ///< a context record's time still to keep
    // What the transaction in progress wrote, until it commits.
    qint64 m_writingUntil = 0;
    std::optional<ApplicationUsage> m_written;
    std::optional<ApplicationUsage> m_figures;
};

/// Inside a transaction: forgets the usage of @p application; false, with SQLite's reason in
/// @p error where given, on failure.
bool dropUsage(const QSqlDatabase &db, const QString &application, QString *error = nullptr);

/// The process's ledger.
UsageLedger &usageLedger();

} // namespace kl::telemetry
