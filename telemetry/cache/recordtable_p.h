#pragma once

#include <QLatin1String>
#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QStringList>

namespace kl::telemetry {

/// The table of cached records.
constexpr QLatin1String kRecordTable("telemetry");

/// The statements that make the tables beside the record table where they are missing: the
/// accounts and consent levels of records, and the decisions. Made with the record table.
QStringList sideTableStatements();

/// The statement that inserts one row of the record table, its columns in the queue's order.
QString insertRecordStatement();

enum class RecordTable {
    Ready, ///< the table and its indexes are there
    Made, ///< made now, the first time in this file or anew
    /// missing at the first look, made by another connection before the look under the lock
    MadeByAnother,
    TableLockHeld, ///< a tool holds the machine-wide table lock; it is left to that tool for now
    Busy, ///< another connection's lock on the file kept it from looking or making it
    Failed, ///< SQLite refused; its reason is in the error
};

/// Whether the table is there for reads and writes after @p table.
bool isThere(RecordTable table);

/**
 * Makes the record table of @p db fit for the library's reads and writes: creates it with its
 * indexes when it is missing, also after another client renamed or dropped it (the renamed
 * table keeps its rows), takes back an index name that another table took, renames aside a
 * table that lacks a column (keeping its rows) and makes it anew, and makes a missing index.
 * A repair is said in one message; a first creation, of a table that @p seen says this
 * connection never found in the file, is not. Sets @p seen once the table is there. It looks
 * again and makes under the file's write lock, so that processes that start together make it
 * once. Call it with the connection's mutex held, outside a transaction.
 */
RecordTable ensureRecordTable(const QSqlDatabase &db, bool *seen, QSqlError *error);

} // namespace kl::telemetry
