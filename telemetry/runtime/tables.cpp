#include "telemetry/runtime/tables_p.h"

#include "telemetry/runtime/raiitransaction.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"

#include <QSqlQuery>

namespace kl::telemetry {

TableCreation createTableIfMissing(const QSqlDatabase &db, const QString &table,
                                   const QStringList &statements, QSqlError *error)
{
    QSqlQuery query(db);
    SingleExecutor tableLock(QString::fromLatin1(kDbLockName));
    if (tableLock.isAnotherRunning() || db.tables(QSql::Tables).contains(table))
        return TableCreation::Skipped;

    RaiiTransaction transaction(db);
    if (!transaction.open()) {
        if (error)
            *error = db.lastError();
        return TableCreation::TransactionRefused;
    }
    for (const QString &statement : statements) {
        if (!query.exec(statement)) {
            if (error)
                *error = query.lastError();
            return TableCreation::Failed;
        }
    }
    transaction.markSuccessfull();
    return TableCreation::Created;
}

std::optional<int> countRows(const QSqlDatabase &db, const QString &table)
{
    QSqlQuery query(db);
    if (query.exec(QStringLiteral("SELECT COUNT(*) FROM %1").arg(table)) && query.next())
        return query.value(0).toInt();
    return std::nullopt;
}

TableClearing clearTable(QSqlDatabase db, const QString &table)
{
    QSqlQuery query(db);
    if (!db.transaction())
        return TableClearing::TransactionRefused;
    if (query.exec(QStringLiteral("DELETE FROM %1").arg(table)) && db.commit())
        return TableClearing::Cleared;
    // cppcheck-suppress ignoredReturnErrorCode
    db.rollback(); // the failure is reported either way
    return TableClearing::Failed;
}

} // namespace kl::telemetry
