// How often and how long each application is used, kept in the cache file by the flushes of
// its processes: no timer runs for it, and an idle process neither wakes nor writes.

#include "telemetry/cache/usage_p.h"

#include "telemetry/runtime/tables_p.h"

#include <QDateTime>
#include <QSqlQuery>

namespace kl::telemetry {

namespace {

const QString kCreateUsageTable = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS telemetry_usage(application TEXT NOT NULL PRIMARY KEY, "
    "startCount INTEGER NOT NULL, usageMs INTEGER NOT NULL, firstStart INTEGER NOT NULL, "
    "lastStart INTEGER NOT NULL, lastContext INTEGER NOT NULL)");

} // namespace

void UsageLedger::start(const QString &application, std::function<void()> counted)
{
    QMutexLocker locker(&m_mutex);
    if (m_startedAt != 0)
        return;
    m_application = application;
    m_counted = std::move(counted);
    m_startedAt = QDateTime::currentMSecsSinceEpoch();
}

bool UsageLedger::isCounting() const
{
    QMutexLocker locker(&m_mutex);
    return m_startedAt != 0;
}

bool UsageLedger::hasNews() const
{
    QMutexLocker locker(&m_mutex);
    return m_startedAt != 0 && (m_countedUntil == 0 || m_contextAt != 0);
}

void UsageLedger::noteContext(qint64 at)
{
    QMutexLocker locker(&m_mutex);
    m_contextAt = at;
}

// A time set back since the last count adds nothing.
bool UsageLedger::write(const QSqlDatabase &db, QString *error)
{
    QMutexLocker locker(&m_mutex);
    m_written.reset();
    if (m_startedAt == 0)
        return true;
    const bool startCounted = m_countedUntil != 0;
    m_writingUntil = qMax(QDateTime::currentMSecsSinceEpoch(), m_startedAt);
    const qint64 addedMs
        = qMax<qint64>(0, m_writingUntil - (startCounted ? m_countedUntil : m_startedAt));
    QSqlQuery query(db);
    if (!execBound(query, kCreateUsageTable, {}, error)
        || !execBound(
            query,
            QStringLiteral("INSERT OR IGNORE INTO telemetry_usage VALUES (?, 0, 0, ?, ?, 0)"),
            { m_application, m_startedAt, m_startedAt }, error)
        || !execBound(query,
                      QStringLiteral("UPDATE telemetry_usage SET startCount = startCount + ?, "
                                     "usageMs = usageMs + ?, lastStart = MAX(lastStart, ?), "
                                     "lastContext = MAX(lastContext, ?) WHERE application = ?"),
                      { startCounted ? 0 : 1, addedMs, m_startedAt, m_contextAt, m_application },
                      error)
        || !execBound(query,
                      QStringLiteral("SELECT startCount, usageMs, firstStart, lastStart, "
                                     "lastContext FROM telemetry_usage WHERE application = ?"),
                      { m_application }, error))
        return false;
    if (query.next())
        m_written = ApplicationUsage { query.value(0).toLongLong(), query.value(1).toLongLong(),
                                       query.value(2).toLongLong(), query.value(3).toLongLong(),
                                       query.value(4).toLongLong() };
    return true;
}

void UsageLedger::committed()
{
    std::function<void()> counted;
    {
        QMutexLocker locker(&m_mutex);
        if (!m_written)
            return;
        if (m_countedUntil == 0)
            counted = std::move(m_counted);
        m_countedUntil = m_writingUntil;
        m_contextAt = 0;
        m_figures = std::exchange(m_written, std::nullopt);
    }
    if (counted)
        counted();
}

// With the time since the last count, which the next write adds.
std::optional<ApplicationUsage> UsageLedger::figures() const
{
    QMutexLocker locker(&m_mutex);
    if (!m_figures)
        return std::nullopt;
    ApplicationUsage usage = *m_figures;
    usage.usageMs += qMax<qint64>(0, QDateTime::currentMSecsSinceEpoch() - m_countedUntil);
    return usage;
}

bool dropUsage(const QSqlDatabase &db, const QString &application, QString *error)
{
    const std::optional<bool> kept = hasTable(db, kUsageTable, error);
    QSqlQuery query(db);
    return kept
        && (!*kept
            || execBound(query, QStringLiteral("DELETE FROM telemetry_usage WHERE application = ?"),
                         { application }, error));
}

UsageLedger &usageLedger()
{
    static auto *ledger = new UsageLedger; // written by the collector's end, among the statics
    return *ledger;
}

} // namespace kl::telemetry
