#include "telemetry/cache/recordtable_p.h"

#include "telemetry/cache/consentstore_p.h"
#include "telemetry/cache/sentrecords_p.h"
#include "telemetry/runtime/raiitransaction.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"
#include "telemetry/runtime/tables_p.h"

#include <QSqlQuery>
#include <QStringList>

namespace kl::telemetry {

namespace {

constexpr QLatin1String kIdColumn("id");
constexpr QLatin1String kTimestampColumn("timestamp");
constexpr QLatin1String kStorageIdColumn("storageID");
constexpr QLatin1String kRecordColumn("recordData");
constexpr QLatin1String kTimeIndex("time_index");
// Serves the oldest-first read of one destination, whatever the other destinations hold.
constexpr QLatin1String kReadIndex("storage_time_index");

QString createTableStatement()
{
    return QStringLiteral("CREATE TABLE %1(%2 BLOB NOT NULL PRIMARY KEY, %3 INTEGER NOT NULL, "
                          "%4 INTEGER NOT NULL, %5 TEXT NOT NULL)")
        .arg(kRecordTable, kIdColumn, kTimestampColumn, kStorageIdColumn, kRecordColumn);
}

// The file keeps the statement without IF NOT EXISTS, as a plain CREATE INDEX writes it.
QStringList createIndexStatements()
{
    const QString statement = QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON %2(%3)");
    const QString readColumns = QStringLiteral("%1, %2").arg(kStorageIdColumn, kTimestampColumn);
    return { statement.arg(kTimeIndex, kRecordTable, kTimestampColumn),
             statement.arg(kReadIndex, kRecordTable, readColumns) };
}

} // namespace

// Records of one account go out with its login only. A record's row goes when it is stored,
// and stays while the record is set aside, so that a retry keeps its account.
QStringList sideTableStatements()
{
    return QStringList { QStringLiteral("CREATE TABLE IF NOT EXISTS telemetry_accounts(id BLOB "
                                        "NOT NULL PRIMARY KEY, userName TEXT NOT NULL)") }
    << consentTableStatements() << sentTableStatements();
}

namespace {

// What the file holds under the record table's and its indexes' names.
struct TableShape
{
    bool exists = false;
    bool hasColumns = false;
    int ownIndexes = 0;
    QStringList strayIndexes; // on another table, which took them with it when it was renamed

    bool ready() const { return hasColumns && ownIndexes == 2 && strayIndexes.isEmpty(); }
};

bool inspect(const QSqlDatabase &db, TableShape *shape, QSqlError *error)
{
    QSqlQuery query(db);
    const auto failed = [&query, error] {
        *error = query.lastError();
        return false;
    };
    // A SELECT checks the schema against the file first, which a bare PRAGMA may not do.
    if (!query.exec(QStringLiteral("SELECT * FROM pragma_table_info('%1')").arg(kRecordTable)))
        return failed();
    QStringList columns;
    while (query.next())
        columns << query.value(1).toString();
    *shape = { !columns.isEmpty(), true, 0, {} };
    for (const QLatin1String column :
         { kIdColumn, kTimestampColumn, kStorageIdColumn, kRecordColumn })
        shape->hasColumns = shape->hasColumns && columns.contains(column);
    if (!query.exec(QStringLiteral("SELECT name, tbl_name FROM sqlite_master WHERE type = 'index' "
                                   "AND name IN ('%1', '%2')")
                        .arg(kTimeIndex, kReadIndex)))
        return failed();
    while (query.next()) {
        if (query.value(1).toString() == kRecordTable)
            ++shape->ownIndexes;
        else
            shape->strayIndexes << query.value(0).toString();
    }
    return true;
}

QString freeTableName(const QSqlDatabase &db, const QString &base)
{
    const QStringList tables = db.tables(QSql::Tables);
    int suffix = 1;
    while (tables.contains(base + QString::number(suffix)))
        ++suffix;
    return base + QString::number(suffix);
}

// In the transaction of make(): a lacking table goes aside, a stray index goes, then what is
// missing is made.
bool repair(const QSqlDatabase &db, const TableShape &shape, const QString &aside, QSqlError *error)
{
    QStringList statements;
    if (shape.exists && !shape.hasColumns)
        statements << QStringLiteral("ALTER TABLE %1 RENAME TO %2").arg(kRecordTable, aside);
    for (const QString &index : shape.strayIndexes)
        statements << QStringLiteral("DROP INDEX %1").arg(index);
    if (!shape.hasColumns)
        statements << createTableStatement();
    statements << createIndexStatements() << sideTableStatements();
    return execAll(db, statements, error);
}

RecordTable make(const QSqlDatabase &db, TableShape *shape, QString *aside, QSqlError *error)
{
    RaiiTransaction transaction(db);
    if (!transaction.openForWriting()) {
        *error = transaction.lastError();
        return isBusy(*error) ? RecordTable::Busy : RecordTable::Failed;
    }
    // Looked at again with the write lock held: another process may have made it meanwhile,
    // and none can from now on until this one commits.
    if (!inspect(db, shape, error))
        return isBusy(*error) ? RecordTable::Busy : RecordTable::Failed;
    if (shape->ready())
        return RecordTable::MadeByAnother;
    *aside = freeTableName(db, kRecordTable + QLatin1String("_altered_"));
    if (!repair(db, *shape, *aside, error))
        return RecordTable::Failed;
    if (!transaction.commit()) {
        *error = transaction.lastError();
        return isBusy(*error) ? RecordTable::Busy : RecordTable::Failed;
    }
    return RecordTable::Made;
}

void sayRepair(const TableShape &found, const QString &aside, bool seen)
{
    if (found.exists && !found.hasColumns)
        qCWarning(lcTelemetry).noquote()
            << QStringLiteral("The cache table %1 lacked a column; it is kept as %2, and %1 is "
                              "made anew")
                   .arg(kRecordTable, aside);
    else if (!found.exists && (seen || !found.strayIndexes.isEmpty()))
        qCWarning(lcTelemetry).noquote()
            << QStringLiteral("The cache table %1 was renamed or dropped by another client; it "
                              "is made anew")
                   .arg(kRecordTable);
}

} // namespace

bool isThere(RecordTable table)
{
    return table == RecordTable::Ready || table == RecordTable::Made
        || table == RecordTable::MadeByAnother;
}

QString insertRecordStatement()
{
    return QStringLiteral("INSERT INTO %1 (%2, %3, %4, %5) VALUES (?, ?, ?, ?)")
        .arg(kRecordTable, kIdColumn, kTimestampColumn, kStorageIdColumn, kRecordColumn);
}

RecordTable ensureRecordTable(const QSqlDatabase &db, bool *seen, QSqlError *error)
{
    TableShape shape;
    if (!inspect(db, &shape, error))
        return isBusy(*error) ? RecordTable::Busy : RecordTable::Failed;
    if (shape.ready()) {
        *seen = true;
        return RecordTable::Ready;
    }
    SingleExecutor tableLock(QString::fromLatin1(kDbLockName));
    if (tableLock.isAnotherRunning())
        return RecordTable::TableLockHeld;
    QString aside;
    const RecordTable result = make(db, &shape, &aside, error);
    if (result == RecordTable::Made)
        sayRepair(shape, aside, *seen);
    *seen = *seen || isThere(result);
    return result;
}

} // namespace kl::telemetry
