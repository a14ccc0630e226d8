#pragma once

#include "telemetry/korveltelemetry_export.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <mutex>
#include <optional>

namespace kl::telemetry {

enum class TableCreation {
    Skipped, ///< the table exists, or something outside the library holds the table lock
    Created,
    TransactionRefused,
    Failed, ///< a statement failed; the transaction was rolled back
    /// another connection kept the commit out (or the disk refused it): the table is not there
    CommitRefused,
};

/**
 * Creates @p table with @p statements, in one transaction, unless it exists already or the
 * machine-wide table lock is held. The library never takes that lock itself; it only keeps out
 * of the way of a tool that does. Logs nothing; the caller knows what to say, and
 * finds SQLite's reason for a failure in @p error when given.
 */
TableCreation createTableIfMissing(const QSqlDatabase &db, const QString &table,
                                   const QStringList &statements, QSqlError *error = nullptr);

/// Runs @p statements in order, stopping at the first that fails; false then, with its error in
/// @p error where given.
bool execAll(const QSqlDatabase &db, const QStringList &statements, QSqlError *error = nullptr);

/// Prepares @p statement on @p query, binds @p values in order and runs it; false on failure,
/// with the error in @p query, and SQLite's reason in @p error where given. Values are bound,
/// never spliced into the text.
bool execBound(QSqlQuery &query, const QString &statement, const QVariantList &values,
               QString *error = nullptr);

/// Whether the file of @p db has @p table; none, with SQLite's reason in @p error where given,
/// when it cannot be read (QSqlDatabase::tables() lists no tables then).
std::optional<bool> hasTable(const QSqlDatabase &db, const QString &table,
                             QString *error = nullptr);

/// The first column of the first row that @p statement gives; invalid when it fails or gives
/// no row.
QVariant firstValue(const QSqlDatabase &db, const QString &statement);

/// The number of rows of @p table; empty when the query fails.
std::optional<int> countRows(const QSqlDatabase &db, const QString &table);

enum class TableClearing { Cleared, TransactionRefused, Failed };

/// Deletes every row of @p table in one transaction, rolled back on failure. Logs nothing.
TableClearing clearTable(QSqlDatabase db, const QString &table);

/// Whether SQLite refused because another connection holds a lock on the file.
bool isBusy(const QSqlError &error);

/// How long the statements of a connection may wait for another client's lock. The thread
/// that runs the application's event loop must never freeze behind one (a long transaction of
/// another tool, a slow disk): there a statement gives up after a moment, and the library
/// retries the work later.
enum class BusyWait {
    Brief, ///< a moment on every thread, for work that is retried anyway
    /// a moment on the event loop's thread; elsewhere, and there once the loop has ended, as
    /// long as the driver waits
    BriefOnEventLoop,
};

/// Sets the busy time-out of @p db for the statements that follow on the calling thread;
/// returns it, in milliseconds.
int applyBusyTimeout(const QSqlDatabase &db, BusyWait wait);

/**
 * Locks the mutex that guards a connection several threads share, and applies the busy
 * time-out of the calling thread to it. When a brief wait ran out, the thread's next uses of
 * any connection do not wait at all for a second: one attempt runs several statements, and
 * must not wait for each.
 */
class KORVELTELEMETRY_TESTS_EXPORT ConnectionLocker
{
public:
    ConnectionLocker(QMutex *mutex, const QSqlDatabase &db,
                     BusyWait wait = BusyWait::BriefOnEventLoop);
    ~ConnectionLocker();

private:
    std::lock_guard<QMutex> m_locker;
    int m_busyTimeoutMs;
    QElapsedTimer m_held;
};

} // namespace kl::telemetry
