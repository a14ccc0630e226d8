#pragma once

#include "telemetry/cache/recordqueue_p.h"
#include "telemetry/korveltelemetry_export.h"
#include "telemetry/runtime/consent_p.h"
#include "telemetry/runtime/tables_p.h"

#include <QSqlDatabase>
#include <QSqlError>

#include <functional>
#include <optional>

namespace kl::telemetry {

/// Each application's decision: its level (NULL once forgotten) and when it was made.
constexpr QLatin1String kConsentTable("telemetry_consent");
/// The application and level of each cached record made under a consent, by its id.
constexpr QLatin1String kLevelTable("telemetry_levels");

/// The statements that make the consent and level tables where they are missing.
QStringList consentTableStatements();

/**
 * Inside the transaction that writes @p rows: keeps their application and level when a consent
 * governs this process, and drops the cached records of that application that its decision
 * does not allow (the cache file's or this process's, whichever was made later), @p rows among
 * them. False, with the reason in @p error, when a statement fails.
 */
bool keepLevels(const QSqlDatabase &db, const RecordQueue::Rows &rows, QString *error);

/// Inside a transaction: @p application's decision as the cache file keeps it; none, with
/// SQLite's reason in @p error where given, when it cannot be read.
std::optional<ConsentDecision> storedDecision(const QSqlDatabase &db, const QString &application,
                                              QString *error = nullptr);

/**
 * Inside a transaction: keeps @p decision for @p application unless a later one is kept, and
 * drops the application's cached and set-aside records that the decision kept does not allow.
 * Returns the decision kept; none on failure, with SQLite's reason in @p error.
 */
std::optional<ConsentDecision> storeDecision(const QSqlDatabase &db, const QString &application,
                                             ConsentDecision decision, QString *error);

/**
 * Runs @p read on a read-only connection to the cache file of its own, made on the calling
 * thread for the call: it neither creates nor changes the file, and waits for another client's
 * lock as @p wait says. False, with a warning, when the file cannot be opened or @p read
 * fails; @p read tells why in its error, which @p why receives where given.
 */
bool readCacheFile(const std::function<bool(const QSqlDatabase &, QString *error)> &read,
                   BusyWait wait = BusyWait::Brief, QString *why = nullptr);

/**
 * @p application's decision, read from the cache file through a read-only connection of the
 * calling thread that waits for another client's lock a moment at most, and neither creates
 * nor changes the file: undecided when there is no file or no decision; none when it cannot be
 * read. For the application's thread, before the library has opened the file.
 */
std::optional<ConsentDecision> readStoredDecision(const QString &application);

/// The file beside the cache file that each stored decision rewrites, so that the other
/// processes of the user, watching it, read the decisions again.
QString consentChangeMarkerPath();
/// Rewrites the marker in place (creating it when missing), which keeps watches on it working.
void touchConsentChangeMarker();

} // namespace kl::telemetry
