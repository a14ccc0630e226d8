#pragma once

#include "telemetry/korveltelemetry_export.h"

#include <QSqlDatabase>

namespace kl::telemetry {

/**
 * A scoped SQL transaction: commits at destruction when marked successful, rolls back in
 * every other case (also when open() failed or was never called, and after a failed commit).
 * Use it on the thread that owns the connection.
 */
class KORVELTELEMETRY_EXPORT RaiiTransaction
{
public:
    explicit RaiiTransaction(const QSqlDatabase &db);
    ~RaiiTransaction();

    /// Begins the transaction; false when the database refuses.
    bool open();
    /// Marks the work as done, so that destruction commits.
    void markSuccessfull();

private:
    Q_DISABLE_COPY(RaiiTransaction)

    bool m_success = false;
    QSqlDatabase m_db;
};

} // namespace kl::telemetry
