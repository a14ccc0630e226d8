// The cached records as the publisher and the host read them: the oldest of a destination,
// deletes of what a destination stored, counts, clearing. These run on the caller's thread:
// the publisher's reads and deletes under the machine-wide main lock, host calls and the
// status's counts without it (SQLite keeps a read consistent). Each holds the connection's
// mutex for its statements.

#include "telemetry/cache/cachedatabase_p.h"
#include "telemetry/cache/consentstore_p.h"
#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"
#include "telemetry/cache/sentrecords_p.h"

#include "telemetry/runtime/cachefile_p.h"
#include "telemetry/runtime/raiitransaction.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/tables_p.h"

#include <QHash>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <utility>

namespace kl::telemetry {

namespace {

// The records of a batch, as they are read and deleted.

} // namespace

int DataCollector::getCachedElementsCount()
{
    CacheDatabase &cache = d->m_cache;
    const ConnectionLocker locker = cache.lock();
    if (!cache.connection().isOpen()) {
        qCWarning(lcTelemetry) << "getCachedElementsCount operation aborted, because connection to "
                                  "database is closed.";
        return 0;
    }
    if (const auto rows = countRows(cache.connection(), kRecordTable))
        return *rows;
    qCWarning(lcTelemetry)
        << "getCachedElementsCount operation aborted, because SELECT query failed.";
    return 0;
}

// Read often, for the status, so quiet when the cache is closed.
QMap<QString, int> DataCollector::getCachedCountsByLocation(bool *ok)
{
    CacheDatabase &cache = d->m_cache;
    const ConnectionLocker locker = cache.lock();
    QMap<QString, int> counts;
    QSqlQuery query(cache.connection());
    // Counting first looks each destination up once, not once per row.
    const bool counted = cache.connection().isOpen()
        && query.exec(QStringLiteral(
            "SELECT storages.locationInfo, counts.n FROM (SELECT storageID, COUNT(*) AS n "
            "FROM telemetry GROUP BY storageID) AS counts JOIN storages USING (storageID)"));
    while (query.next())
        counts.insert(query.value(0).toString(), query.value(1).toInt());
    if (ok)
        *ok = counted;
    return counts;
}

void DataCollector::clearCache()
{
    CacheDatabase &cache = d->m_cache;
    const ConnectionLocker locker = cache.lock();
    if (!cache.connection().isOpen()) {
        qCWarning(lcTelemetry)
            << "clearCache operation aborted, because connection to database is closed.";
        return;
    }
    switch (clearTable(cache.connection(), kRecordTable)) {
    case TableClearing::Cleared:
        return;
    case TableClearing::TransactionRefused:
        qCWarning(lcTelemetry) << "local cache clearing failed: cannot create transaction";
        return;
    case TableClearing::Failed:
        qCWarning(lcTelemetry) << "local cache clearing failed: query or commit DELETE";
    }
}

QMap<QString, QMap<QString, int>> DataCollector::accountCountsByLocation(bool *ok)
{
    CacheDatabase &cache = d->m_cache;
    const ConnectionLocker locker = cache.lock();
    QMap<QString, QMap<QString, int>> counts;
    QSqlQuery query(cache.connection());
    const bool counted = cache.connection().isOpen()
        && query.exec(QStringLiteral(
            "SELECT storages.locationInfo, counts.userName, counts.n FROM (SELECT storageID, "
            "userName, COUNT(*) AS n FROM telemetry_accounts JOIN telemetry USING (id) GROUP BY "
            "storageID, userName) AS counts JOIN storages USING (storageID)"));
    while (query.next())
        counts[query.value(0).toString()].insert(query.value(1).toString(), query.value(2).toInt());
    if (ok)
        *ok = counted;
    return counts;
}

// "(?, ?, …)" with @p count placeholders, for a statement kept per count.
QString placeholders(int count)
{
    return QLatin1Char('(') + QStringLiteral("?, ").repeated(count - 1) + QStringLiteral("?)");
}

int runInBatches(CacheDatabase &cache, const QString &statement, const QStringList &ids,
                 const QVariantList &leading)
{
    int affected = 0;
    for (int from = 0; from < ids.size(); from += kBatchSize) {
        const QStringList some = ids.mid(from, kBatchSize);
        const ReusedQuery query = cache.statement(statement + placeholders(some.size()));
        if (!query.isPrepared())
            return -1;
        for (const QVariant &value : leading)
            query->addBindValue(value);
        for (const QString &id : some)
            query->addBindValue(id);
        if (!query->exec())
            return -1;
        affected += query->numRowsAffected();
    }
    return affected;
}

namespace {

// The lengths of the oldest records of a storage ID, of no login and of @p logins accounts;
// bound in that order: the storage ID, each login, the limit.
QString lengthsQuery(int logins)
{
    const QString sendable = logins == 0
        ? QStringLiteral("accounts.userName IS NULL")
        : QStringLiteral("(accounts.userName IS NULL OR accounts.userName IN %1)")
              .arg(placeholders(logins));
    return QStringLiteral("SELECT telemetry.rowid, CAST(telemetry.id AS TEXT), "
                          "length(CAST(recordData AS BLOB)), accounts.userName FROM telemetry "
                          "LEFT JOIN telemetry_accounts AS accounts USING (id) WHERE "
                          "storageID=? AND %1 ORDER BY timestamp LIMIT ?")
        .arg(sendable);
}

int deleteIn(CacheDatabase &cache, QLatin1String table, const QStringList &ids)
{
    return runInBatches(
        cache, QLatin1String("DELETE FROM ") + table + QLatin1String(" WHERE id IN "), ids);
}

// The library writes ids as text, all found with one statement; those that another client
// wrote as a number or a blob need the match of every type, which costs four look-ups each.
bool deleteRecords(CacheDatabase &cache, const QStringList &ids)
{
    const int deleted = deleteIn(cache, QLatin1String("telemetry"), ids);
    if (deleted < 0)
        return false;
    // A text id names one row at most, so a full count means that no id is left.
    return deleted == ids.size()
        || execPerId(cache.statement(QLatin1String("DELETE FROM telemetry WHERE ") + idMatches()),
                     ids);
}

// A record chosen by its size, before its document is read.
struct ChosenRow
{
    qint64 rowId;
    QString id;
};

struct ChosenRows
{
    QVector<ChosenRow> rows;
    QString account;
    bool cutByBytes = false;
};

// False when @p statement could not run; a busy file is read by the next attempt.
bool ranRead(const ReusedQuery &statement)
{
    if (statement.isPrepared() && statement->exec())
        return true;
    if (!isBusy(statement->lastError()))
        qCCritical(lcTelemetry) << "getCacheByStorageId() aborted, query failed:"
                                << statement->lastError();
    return false;
}

// The oldest rows of @p storageId of one account, at most @p count and @p maxBytes of request
// body, from their lengths alone: stepped row by row, the query reads no document beyond the
// bound.
std::optional<ChosenRows> chooseBySize(CacheDatabase &cache, int storageId, int count,
                                       qint64 maxBytes, const QStringList &skipped,
                                       const QStringList &logins)
{
    const ReusedQuery lengths = cache.statement(lengthsQuery(logins.size()));
    QSqlQuery &query = *lengths;
    query.addBindValue(storageId);
    for (const QString &login : logins)
        query.addBindValue(login);
    query.addBindValue(count + skipped.size());
    if (!ranRead(lengths))
        return std::nullopt;
    const QSet<QString> passedOver(skipped.cbegin(), skipped.cend());
    std::optional<QString> batchAccount;
    ChosenRows chosen;
    qint64 bytes = 0;
    while (chosen.rows.size() < count && query.next()) {
        const QString id = query.value(1).toString();
        const QString rowAccount = query.value(3).toString();
        if (passedOver.contains(id) || rowAccount != batchAccount.value_or(rowAccount))
            continue;
        // Each document brings a separating comma; the first goes however large it is.
        bytes += query.value(2).toLongLong() + 1;
        if (!chosen.rows.isEmpty() && bytes > maxBytes) {
            chosen.cutByBytes = true;
            break;
        }
        batchAccount = rowAccount;
        chosen.rows.append({ query.value(0).toLongLong(), id });
    }
    chosen.account = batchAccount.value_or(QString());
    return chosen;
}

} // namespace

bool DataCollector::getCacheByStorageId(int storageId, QStringList &ids, QStringList &records,
                                        const QStringList &skipped, qint64 maxBytes,
                                        const QStringList &logins, QString *account,
                                        bool *cutByBytes)
{
    CacheDatabase &cache = d->m_cache;
    const ConnectionLocker locker = cache.lock();
    if (!cache.connection().isOpen()) {
        qCCritical(lcTelemetry)
            << "getCacheByStorageId() aborted, connection to database is closed.";
        return false;
    }
    // One read for both statements: the documents are those of the rows chosen.
    RaiiTransaction read(cache.connection());
    if (!read.open())
        return false;
    const std::optional<ChosenRows> chosen
        = chooseBySize(cache, storageId, kBatchSize, maxBytes, skipped, logins);
    if (!chosen)
        return false;
    if (account)
        *account = chosen->account;
    if (cutByBytes)
        *cutByBytes = chosen->cutByBytes;
    if (chosen->rows.isEmpty())
        return true;
    const ReusedQuery documentsRead
        = cache.statement(QStringLiteral("SELECT rowid, recordData FROM telemetry WHERE rowid IN ")
                          + placeholders(chosen->rows.size()));
    QSqlQuery &query = *documentsRead;
    for (const ChosenRow &row : chosen->rows)
        query.addBindValue(row.rowId);
    if (!ranRead(documentsRead))
        return false;
    QHash<qint64, QString> documents;
    while (query.next())
        documents.insert(query.value(0).toLongLong(), query.value(1).toString());
    for (const ChosenRow &row : chosen->rows) {
        ids.append(row.id);
        records.append(documents.value(row.rowId));
    }
    return true;
}

std::optional<bool> DataCollectorPrivate::hasCachedRecords()
{
    CacheDatabase &cache = m_cache;
    const ConnectionLocker locker = cache.lock();
    if (!cache.connection().isOpen())
        return std::nullopt;
    const ReusedQuery query = cache.statement(QStringLiteral("SELECT 1 FROM telemetry LIMIT 1"));
    if (!query.isPrepared() || !query->exec())
        return std::nullopt;
    return query->next();
}

void DataCollectorPrivate::releaseMemory()
{
    m_cache.releaseMemory();
}

bool DataCollector::deleteByIds(const QStringList &ids)
{
    CacheDatabase &cache = d->m_cache;
    const ConnectionLocker locker = cache.lock();
    if (!cache.connection().isOpen()) {
        qCWarning(lcTelemetry)
            << "deleteByIds operation aborted, because connection to database is closed.";
        return false;
    }
    RaiiTransaction transaction(cache.connection());
    const bool deleted = transaction.open() && keepSentRecords(cache, ids)
        && deleteRecords(cache, ids) && deleteIn(cache, kAccountTable, ids) >= 0
        && deleteIn(cache, kLevelTable, ids) >= 0;
    // Counted before the commit, which then ends the read too.
    const bool pagesFreed = deleted && cache.freePagesToGiveBack() > 0;
    if (!deleted || !transaction.commit()) {
        if (!std::exchange(cache.m_deleteFailing, true))
            qCWarning(lcTelemetry) << "local cache update failed";
        return false;
    }
    cache.m_deleteFailing = false;
    // After large records the checkpoint and the return of free pages take seconds: the
    // flush makes them on its pool thread, not the publisher's.
    cache.syncCommitsIfDue(CommitsToSync::OneMoreForTheFlush);
    cache.m_pagesFreed = cache.m_pagesFreed || pagesFreed;
    qCDebug(lcTelemetry) << "deleted: " << ids.size();
    d->flushSoon();
    return true;
}

} // namespace kl::telemetry
