#pragma once

#include "telemetry/korveltelemetry_export.h"

#include <QtGlobal>

class QSqlDatabase;
class QSqlError;

namespace kl::telemetry {

class RaiiTransactionPrivate;

/**
 * A scoped SQL transaction: commits at destruction when marked successful, rolls back in
 * every other case (also when open() failed or was never called, and after a failed commit).
 * A connection's handle works from any thread, but not from two at once: use the guard where
 * no other thread uses that connection meanwhile.
 * \ingroup advanced
 */
class KORVELTELEMETRY_EXPORT RaiiTransaction
{
public:
    /// A guard for a transaction on @p db; nothing begins until open().
    explicit RaiiTransaction(const QSqlDatabase &db);
    /// Destroys the guard, committing or rolling back as its class says.
    ~RaiiTransaction();

    /// Begins the transaction; false, with the refusal in lastError(), when the database refuses.
    bool open();
    /**
     * Begins the transaction with the file's write lock taken at once, so that what it reads
     * stays true until it commits: no other connection writes meanwhile. False when the
     * database refuses (see lastError()), also when another connection holds that lock past the
     * busy time-out.
     */
    bool openForWriting();
    /// Marks the work as done, so that destruction commits.
    void markSuccessfull();
    /**
     * Commits now, for callers that must know whether the work is stored: false, with the work
     * rolled back and the refusal in lastError(), when the database refuses (a full disk, a
     * lock held past the busy time-out). Destruction then does nothing more.
     */
    bool commit();
    /**
     * Why the last open(), openForWriting() or commit() failed, with SQLite's own error code
     * as its nativeErrorCode() (5 for a busy file) in Qt 5 and Qt 6 alike.
     */
    QSqlError lastError() const;

private:
    Q_DISABLE_COPY(RaiiTransaction)

    RaiiTransactionPrivate *d;
};

} // namespace kl::telemetry
