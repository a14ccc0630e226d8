#pragma once

#include "telemetry/cache/recordqueue_p.h"

#include <QSqlDatabase>
#include <QString>
#include <QVector>

namespace kl::telemetry {

/**
 * Runs the one-row insert @p statement for each of @p rows, in the transaction the caller has
 * open on @p db; false at the first failure, with SQLite's reason in @p error. The flush calls
 * it on its thread, holding the connection's mutex.
 *
 * Rows are bound through SQLite's C API, since binding them through Qt costs more than the
 * insert itself, but only on a connection of the SQLite copy that this library links: a Qt
 * whose SQLite driver carries its own copy gets Qt's statements instead.
 */
bool insertRows(const QSqlDatabase &db, const QString &statement, const QVector<QueuedRow> &rows,
                QString *error);

} // namespace kl::telemetry
