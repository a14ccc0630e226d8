// The publisher's progress per destination, such as how far a refused batch was narrowed, and
// which process is uploading its records, kept in the cache file beside the records it
// concerns: every process of the user goes on from it, also one started after the process
// that began. The text is the publisher's own; this part only keeps it. Runs on the
// publisher's thread, under the machine-wide main lock unless its holder has stopped.

#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"
#include "telemetry/runtime/cachefile_p.h"
#include "telemetry/runtime/raiitransaction.h"
#include "telemetry/runtime/tables_p.h"

#include <QDateTime>
#include <QSqlQuery>
#include <QVariant>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <signal.h>
#endif

namespace kl::telemetry {

namespace {

const QString kCreateClaimTable = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS telemetry_claims(storageID INTEGER NOT NULL PRIMARY KEY, "
    "owner TEXT NOT NULL, until INTEGER NOT NULL)");

const QString kCreateAnswerTable = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS telemetry_answers(storageID INTEGER NOT NULL PRIMARY KEY, "
    "status INTEGER NOT NULL, error TEXT NOT NULL, since INTEGER NOT NULL)");

// A claim ends with the process that made it, also one that was killed.
bool ownerRuns(const QString &owner)
{
#ifdef Q_OS_UNIX
    const qint64 pid = owner.section(QLatin1Char(':'), 0, 0).toLongLong();
    return pid <= 0 || ::kill(pid_t(pid), 0) == 0 || errno != ESRCH;
#else
    Q_UNUSED(owner);
    return true;
#endif
}

// Whether a claim that runs @p until still has more than half of @p durationMs left; one that
// ends further ahead than a claim can was made before the clock went back.
bool keepsTimeToSpare(qint64 until, qint64 now, int durationMs)
{
    return until > now + durationMs / 2 && until <= now + durationMs;
}

// Whether @p claim, as this process wrote it, can be kept without reading the file: no other
// process replaces a running claim of a live owner, so the file holds it as written.
bool keepsTimeToSpare(const DataCollectorPrivate::WrittenClaim &claim, int storageId,
                      const QString &owner, int durationMs)
{
    return claim.storageId == storageId && claim.owner == owner
        && claim.generation == cacheFileGeneration()
        && keepsTimeToSpare(claim.until, QDateTime::currentMSecsSinceEpoch(), durationMs);
}

} // namespace

// Before the first state is kept the table does not exist, and the read finds nothing. A
// closed connection (its file replaced, or held by another client) knows nothing, as a busy
// one; here and below it is not asked, which would only have Qt warn at every query.
std::optional<QByteArray> DataCollectorPrivate::publishingState(int storageId)
{
    CacheDatabase &cache = m_cache;
    const ConnectionLocker locker = cache.lock();
    if (!cache.connection().isOpen())
        return std::nullopt;
    const ReusedQuery query = cache.statement(
        QStringLiteral("SELECT state FROM telemetry_publishing WHERE storageID = ?"));
    query->addBindValue(storageId);
    if (!query.isPrepared() || !query->exec())
        return isBusy(query->lastError()) ? std::nullopt : std::optional<QByteArray>(QByteArray());
    return query->next() ? query->value(0).toByteArray() : QByteArray();
}

bool DataCollectorPrivate::setPublishingState(int storageId, const QByteArray &state)
{
    CacheDatabase &cache = m_cache;
    const ConnectionLocker locker = cache.lock();
    if (!cache.connection().isOpen())
        return false;
    QSqlQuery query(cache.connection());
    if (!query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS telemetry_publishing(storageID "
                                   "INTEGER NOT NULL PRIMARY KEY, state TEXT NOT NULL)")))
        return false;
    if (state.isEmpty())
        return query.exec(
            QStringLiteral("DELETE FROM telemetry_publishing WHERE storageID = %1").arg(storageId));
    if (!query.prepare(QStringLiteral("INSERT OR REPLACE INTO telemetry_publishing VALUES (?, ?)")))
        return false;
    query.addBindValue(storageId);
    query.addBindValue(QString::fromUtf8(state));
    return query.exec();
}

// The first claim makes the table. Made before the read, it lets a failed read mean only that
// the claims cannot be known now (another client holds the file), never that there are none to
// respect. The write lock, taken first, keeps two publishers from claiming at once also where
// one went past a stopped holder of the main lock.
bool DataCollectorPrivate::claimDestination(int storageId, const QString &owner, int durationMs)
{
    CacheDatabase &cache = m_cache;
    const ConnectionLocker locker = cache.lock();
    if (!cache.connection().isOpen())
        return false;
    if (keepsTimeToSpare(m_writtenClaim, storageId, owner, durationMs))
        return true;
    m_writtenClaim = {};
    RaiiTransaction transaction(cache.connection());
    if (!transaction.openForWriting() || !cache.statement(kCreateClaimTable)->exec())
        return false;
    // Read under the write lock: a claim committed before is never from later than now.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    {
        const ReusedQuery claim = cache.statement(
            QStringLiteral("SELECT owner, until FROM telemetry_claims WHERE storageID = ?"));
        claim->addBindValue(storageId);
        if (!claim.isPrepared() || !claim->exec())
            return false;
        if (claim->next()) {
            const qint64 until = claim->value(1).toLongLong();
            const QString holder = claim->value(0).toString();
            const bool running = until > now && until <= now + durationMs;
            if (running && holder != owner && ownerRuns(holder))
                return false;
            if (holder == owner && keepsTimeToSpare(until, now, durationMs)) {
                m_writtenClaim = { storageId, owner, until, cacheFileGeneration() };
                return true;
            }
        }
    }
    const ReusedQuery renewal = cache.statement(
        QStringLiteral("INSERT OR REPLACE INTO telemetry_claims VALUES (?, ?, ?)"));
    if (!renewal.isPrepared())
        return false;
    renewal->addBindValue(storageId);
    renewal->addBindValue(owner);
    renewal->addBindValue(now + durationMs);
    if (!renewal->exec() || !transaction.commit())
        return false;
    m_writtenClaim = { storageId, owner, now + durationMs, cacheFileGeneration() };
    return true;
}

bool DataCollectorPrivate::releaseDestination(int storageId, const QString &owner)
{
    CacheDatabase &cache = m_cache;
    const ConnectionLocker locker = cache.lock();
    if (m_writtenClaim.storageId == storageId)
        m_writtenClaim = {};
    if (!cache.connection().isOpen())
        return false;
    const ReusedQuery query = cache.statement(
        QStringLiteral("DELETE FROM telemetry_claims WHERE storageID = ? AND owner = ?"));
    if (!query.isPrepared())
        return false;
    query->addBindValue(storageId);
    query->addBindValue(owner);
    return query->exec();
}

// Nothing is written while the answer stays the same: the select finds the row and inserts
// nothing, and SQLite commits no page.
bool DataCollectorPrivate::keepAnswer(int storageId, int httpStatus, const QString &error)
{
    CacheDatabase &cache = m_cache;
    const ConnectionLocker locker = cache.lock();
    if (!cache.connection().isOpen())
        return false;
    if (!cache.statement(kCreateAnswerTable)->exec())
        return false;
    const ReusedQuery query = cache.statement(QStringLiteral(
        "INSERT OR REPLACE INTO telemetry_answers SELECT :id, :status, :error, :since WHERE "
        "NOT EXISTS (SELECT 1 FROM telemetry_answers WHERE storageID = :id AND status = "
        ":status AND error = :error)"));
    if (!query.isPrepared())
        return false;
    query->bindValue(QStringLiteral(":id"), storageId);
    query->bindValue(QStringLiteral(":status"), httpStatus);
    query->bindValue(QStringLiteral(":error"), error.isNull() ? QLatin1String("") : error);
    query->bindValue(QStringLiteral(":since"), QDateTime::currentMSecsSinceEpoch());
    return query->exec();
}

// Before the first answer the table does not exist: there is nothing to tell, and no failure.
QMap<QString, DestinationAnswer> DataCollector::lastAnswersByLocation(bool *ok)
{
    CacheDatabase &cache = d->m_cache;
    const ConnectionLocker locker = cache.lock();
    QMap<QString, DestinationAnswer> answers;
    QSqlQuery query(cache.connection());
    const bool read = cache.connection().isOpen()
        && (!cache.connection().tables().contains(QStringLiteral("telemetry_answers"))
            || query.exec(QStringLiteral(
                "SELECT storages.locationInfo, status, error, since FROM telemetry_answers "
                "JOIN storages USING (storageID)")));
    while (query.next())
        answers.insert(
            query.value(0).toString(),
            { query.value(1).toInt(), query.value(2).toString(), query.value(3).toLongLong() });
    if (ok)
        *ok = read;
    return answers;
}

} // namespace kl::telemetry
