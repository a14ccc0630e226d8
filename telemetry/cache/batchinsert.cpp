#include "telemetry/cache/batchinsert_p.h"

#include <QMutex>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

#include <sqlite3.h>

#include <memory>
#include <vector>

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

using Statement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

bool insertThroughSqlite(sqlite3 *db, const QString &statement, const QVector<QueuedRow> &rows,
                         QString *error)
{
    const QByteArray text = statement.toUtf8();
    sqlite3_stmt *prepared = nullptr;
    sqlite3_prepare_v2(db, text.constData(), text.size(), &prepared, nullptr);
    const Statement insert(prepared, &sqlite3_finalize);
    bool inserted = insert != nullptr;
    for (auto row = rows.cbegin(); inserted && row != rows.cend(); ++row) {
        sqlite3_bind_text16(prepared, 1, row->id.utf16(), row->id.size() * 2, SQLITE_STATIC);
        sqlite3_bind_int64(prepared, 2, row->timestamp);
        sqlite3_bind_int(prepared, 3, row->storageId);
        sqlite3_bind_text(prepared, 4, row->record.constData(), row->record.size(), SQLITE_STATIC);
        inserted = sqlite3_step(prepared) == SQLITE_DONE;
        sqlite3_reset(prepared);
    }
    if (!inserted)
        *error = QString::fromUtf8(sqlite3_errmsg(db));
    return inserted;
}

// The document is bound as text, as the C API binds it: a byte array would be stored as a blob.
// Its whole length is converted, since the byte array overload of fromUtf8() stops at a NUL in
// Qt 5.
bool insertThroughQt(const QSqlDatabase &db, const QString &statement,
                     const QVector<QueuedRow> &rows, QString *error)
{
    QSqlQuery insert(db);
    bool inserted = insert.prepare(statement);
    for (auto row = rows.cbegin(); inserted && row != rows.cend(); ++row) {
        insert.addBindValue(row->id);
        insert.addBindValue(row->timestamp);
        insert.addBindValue(row->storageId);
        insert.addBindValue(QString::fromUtf8(row->record.constData(), row->record.size()));
        inserted = insert.exec();
    }
    if (!inserted)
        *error = insert.lastError().databaseText();
    return inserted;
}

} // namespace

bool insertRows(const QSqlDatabase &db, const QString &statement, const QVector<QueuedRow> &rows,
                QString *error)
{
    sqlite3 *handle = driverHandle(db);
    if (handle && driverRunsLinkedSqlite())
        return insertThroughSqlite(handle, statement, rows, error);
    return insertThroughQt(db, statement, rows, error);
}

} // namespace kl::telemetry
