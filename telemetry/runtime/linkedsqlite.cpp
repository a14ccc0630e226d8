#include "telemetry/runtime/linkedsqlite_p.h"

#include <QMutex>
#include <QSqlDriver>
#include <QVariant>

#include <algorithm>
#include <vector>

#include <sqlite3.h>

namespace kl::telemetry {

namespace {

// The QSQLITE driver's own connection; null when the driver is not SQLite's.
sqlite3 *driverHandle(const QSqlDatabase &db)
{
    const QVariant handle = db.driver()->handle();
    if (qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.constData());
}

QBasicMutex s_openedMutex;
std::vector<sqlite3 *> s_opened;

int noteOpened(sqlite3 *db, char **, const sqlite3_api_routines *)
{
    QMutexLocker locker(&s_openedMutex);
    s_opened.push_back(db);
    return SQLITE_OK;
}

/*
 * A connection belongs to the SQLite copy that opened it: another copy's functions on it are
 * undefined, whether or not the versions match. The proof is therefore by identity, not by
 * version: while the linked SQLite notes every connection it opens (an automatic extension),
 * the driver opens a probe connection, which must be among them.
 */
bool driverRunsLinkedSqlite()
{
    static const bool linked = [] {
        const auto note = reinterpret_cast<void (*)()>(&noteOpened);
        sqlite3_auto_extension(note);
        const QString name = QStringLiteral("korvel-sqlite-probe");
        bool seen = false;
        {
            QSqlDatabase probe = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            probe.setDatabaseName(QStringLiteral(":memory:"));
            if (probe.open()) {
                QMutexLocker locker(&s_openedMutex);
                seen = std::find(s_opened.cbegin(), s_opened.cend(), driverHandle(probe))
                    != s_opened.cend();
            }
        }
        QSqlDatabase::removeDatabase(name);
        sqlite3_cancel_auto_extension(note);
        QMutexLocker locker(&s_openedMutex);
        s_opened.clear();
        return seen;
    }();
    return linked;
}

} // namespace

sqlite3 *linkedSqliteHandle(const QSqlDatabase &db)
{
    sqlite3 *handle = driverHandle(db);
    return handle && driverRunsLinkedSqlite() ? handle : nullptr;
}

} // namespace kl::telemetry
