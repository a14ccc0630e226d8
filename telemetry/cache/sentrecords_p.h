#pragma once

#include "telemetry/cache/cachedatabase_p.h"

#include <QStringList>

#include <atomic>

namespace kl::telemetry {

/// What servers stored of the records made under a consent: when, where (the storage ID: the
/// destination is the storages table's, which never holds credentials), for which
/// application, and the document.
constexpr QLatin1String kSentTable("telemetry_sent");

/// The statements that make the table of sent records where it is missing.
QStringList sentTableStatements();

/// Inside the transaction that deletes the stored records @p ids: keeps those made under a
/// consent in the table of sent records. False when it fails.
bool keepSentRecords(CacheDatabase &cache, const QStringList &ids);

/**
 * Drops sent records older than @p days, then the oldest beyond @p maxBytes of documents, when
 * the bounds changed or a minute has passed since this process last did; with the connection's
 * mutex held, under the main lock. False when a statement fails.
 */
bool pruneSentRecords(const QSqlDatabase &db, int days, qint64 maxBytes);

/// The bounds of the table of sent records, process-wide; DataCollector's setters set them.
struct SentRecordBounds
{
    std::atomic<int> days { 30 };
    std::atomic<qint64> maxBytes { 10 * 1024 * 1024 };
};
SentRecordBounds &sentRecordBounds();

} // namespace kl::telemetry
