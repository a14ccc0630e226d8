#pragma once

#include <QSqlDatabase>

struct sqlite3;

namespace kl::telemetry {

/**
 * The SQLite connection behind @p db when it belongs to the SQLite copy that this library
 * links, so that the library may call SQLite's C API on it; null on a driver that is not
 * SQLite's, or that carries its own copy (as the drivers of Qt's binary installers do).
 */
sqlite3 *linkedSqliteHandle(const QSqlDatabase &db);

} // namespace kl::telemetry
