#include "telemetry/runtime/tables_p.h"

#include "telemetry/runtime/linkedsqlite_p.h"
#include "telemetry/runtime/raiitransaction.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <sqlite3.h>

namespace kl::telemetry {

namespace {

TableCreation createTable(const QSqlDatabase &db, const QString &table,
                          const QStringList &statements, QSqlError *error)
{
    RaiiTransaction transaction(db);
    if (!transaction.open()) {
        if (error)
            *error = transaction.lastError();
        return TableCreation::TransactionRefused;
    }
    // Looked at again inside the transaction: another process may have made it meanwhile, and
    // one that makes it from now on keeps this one from writing (a busy failure), not from
    // committing a second table.
    if (db.tables(QSql::Tables).contains(table))
        return TableCreation::Skipped;
    if (!execAll(db, statements, error))
        return TableCreation::Failed;
    // A reader that keeps the file (one with a write-ahead log open on a file emptied under
    // it) refuses the commit alone; the caller must not take a table that is not there.
    if (!transaction.commit()) {
        if (error)
            *error = transaction.lastError();
        return TableCreation::CommitRefused;
    }
    return TableCreation::Created;
}

} // namespace

TableCreation createTableIfMissing(const QSqlDatabase &db, const QString &table,
                                   const QStringList &statements, QSqlError *error)
{
    SingleExecutor tableLock(QString::fromLatin1(kDbLockName));
    if (tableLock.isAnotherRunning() || db.tables(QSql::Tables).contains(table))
        return TableCreation::Skipped;
    const TableCreation creation = createTable(db, table, statements, error);
    // Rolled back by now: a table there was made by another process between the looks.
    if (creation == TableCreation::Failed && db.tables(QSql::Tables).contains(table))
        return TableCreation::Skipped;
    return creation;
}

bool execAll(const QSqlDatabase &db, const QStringList &statements, QSqlError *error)
{
    QSqlQuery query(db);
    for (const QString &statement : statements) {
        if (!query.exec(statement)) {
            if (error)
                *error = query.lastError();
            return false;
        }
    }
    return true;
}

bool execBound(QSqlQuery &query, const QString &statement, const QVariantList &values,
               QString *error)
{
    bool done = query.prepare(statement);
    for (const QVariant &value : values)
        query.addBindValue(value);
    done = done && query.exec();
    if (!done && error)
        *error = query.lastError().databaseText();
    return done;
}

std::optional<bool> hasTable(const QSqlDatabase &db, const QString &table, QString *error)
{
    QSqlQuery query(db);
    if (!execBound(query,
                   QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?"),
                   { table }, error))
        return std::nullopt;
    return query.next();
}

QVariant firstValue(const QSqlDatabase &db, const QString &statement)
{
    QSqlQuery query(db);
    return query.exec(statement) && query.next() ? query.value(0) : QVariant();
}

std::optional<int> countRows(const QSqlDatabase &db, const QString &table)
{
    const QVariant count = firstValue(db, QStringLiteral("SELECT COUNT(*) FROM %1").arg(table));
    return count.isValid() ? std::optional<int>(count.toInt()) : std::nullopt;
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

bool isBusy(const QSqlError &error)
{
    const QString code = error.nativeErrorCode();
    return code == QLatin1String("5") || code == QLatin1String("6"); // SQLITE_BUSY, _LOCKED
}

namespace {

constexpr int kBriefBusyTimeoutMs = 40;
constexpr int kDriverBusyTimeoutMs = 5000;
constexpr int kNoWaitAfterBusyMs = 1000;

thread_local QDeadlineTimer t_noWaitUntil; // expired: waits allowed

bool isEventLoopThread()
{
    const QCoreApplication *application = QCoreApplication::instance();
    QThread *thread = QThread::currentThread();
    return application && thread == application->thread() && thread->loopLevel() > 0;
}

int busyTimeoutMs(BusyWait wait)
{
    if (wait == BusyWait::BriefOnEventLoop && !isEventLoopThread())
        return kDriverBusyTimeoutMs;
    return t_noWaitUntil.hasExpired() ? kBriefBusyTimeoutMs : 0;
}

} // namespace

int applyBusyTimeout(const QSqlDatabase &db, BusyWait wait)
{
    const int timeoutMs = busyTimeoutMs(wait);
    // Set before nearly every statement: through the C API it costs no statement of its own.
    if (sqlite3 *handle = linkedSqliteHandle(db))
        sqlite3_busy_timeout(handle, timeoutMs);
    else if (db.isOpen())
        QSqlQuery(db).exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(timeoutMs));
    return timeoutMs;
}

ConnectionLocker::ConnectionLocker(QMutex *mutex, const QSqlDatabase &db, BusyWait wait)
    : m_locker(*mutex)
    , m_busyTimeoutMs(applyBusyTimeout(db, wait))
{
    m_held.start();
}

ConnectionLocker::~ConnectionLocker()
{
    if (m_busyTimeoutMs == kBriefBusyTimeoutMs && m_held.elapsed() >= kBriefBusyTimeoutMs)
        t_noWaitUntil.setRemainingTime(kNoWaitAfterBusyMs);
}

} // namespace kl::telemetry
