#include "telemetry/runtime/schema_p.h"

#include "telemetry/runtime/raiitransaction.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"

#include <QSqlQuery>

namespace kl::telemetry {

TableCreation createTableIfMissing(const QSqlDatabase &db, const QString &table,
                                   const QStringList &statements)
{
    QSqlQuery query(db);
    SingleExecutor tableLock(QString::fromLatin1(kDbLockName));
    if (tableLock.isAnotherRunning() || db.tables(QSql::Tables).contains(table))
        return TableCreation::Skipped;

    RaiiTransaction transaction(db);
    if (!transaction.open())
        return TableCreation::TransactionRefused;
    for (const QString &statement : statements) {
        if (!query.exec(statement))
            return TableCreation::Failed;
    }
    transaction.markSuccessfull();
    return TableCreation::Created;
}

} // namespace kl::telemetry
