#include "telemetry/cache/batchinsert_p.h"

#include "telemetry/runtime/linkedsqlite_p.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <sqlite3.h>

#include <memory>

namespace kl::telemetry {

namespace {

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
    if (sqlite3 *handle = linkedSqliteHandle(db))
        return insertThroughSqlite(handle, statement, rows, error);
    return insertThroughQt(db, statement, rows, error);
}

} // namespace kl::telemetry
