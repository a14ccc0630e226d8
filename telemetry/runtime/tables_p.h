#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QStringList>

#include <optional>

namespace kl::telemetry {

enum class TableCreation {
    Skipped, ///< the table exists, or something outside the library holds the table lock
    Created,
    TransactionRefused,
    Failed, ///< a statement failed; the transaction was rolled back
};

/**
 * Creates @p table with @p statements, in one transaction, unless it exists already or the
 * machine-wide table lock is held. The library never takes that lock itself; it only keeps out
 * of the way of a tool that does. Logs nothing; the caller knows what to say, and
 * finds SQLite's reason for a failure in @p error when given.
 */
TableCreation createTableIfMissing(const QSqlDatabase &db, const QString &table,
                                   const QStringList &statements, QSqlError *error = nullptr);

/// The number of rows of @p table; empty when the query fails.
std::optional<int> countRows(const QSqlDatabase &db, const QString &table);

enum class TableClearing { Cleared, TransactionRefused, Failed };

/// Deletes every row of @p table in one transaction, rolled back on failure. Logs nothing.
TableClearing clearTable(QSqlDatabase db, const QString &table);

} // namespace kl::telemetry
