// The record of what was sent: every record made under a consent that a server stored, kept in
// the cache file for a while so that the user can see it.

#include "telemetry/cache/sentrecords_p.h"

#include "telemetry/cache/cachecontents.h"
#include "telemetry/cache/consentstore_p.h"
#include "telemetry/cache/datacollector.h"
#include "telemetry/runtime/runtime.h"

#include "telemetry/runtime/tables_p.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlQuery>

namespace kl::telemetry {

namespace {

constexpr qint64 kPruneIntervalMs = 60 * 1000;
constexpr qint64 kDayMs = 24 * 60 * 60 * 1000;

} // namespace

QStringList sentTableStatements()
{
    return {
        QStringLiteral("CREATE TABLE IF NOT EXISTS telemetry_sent(id BLOB NOT NULL PRIMARY KEY, "
                       "sentAt INTEGER NOT NULL, storageID INTEGER NOT NULL, application TEXT "
                       "NOT NULL, recordData TEXT NOT NULL)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS telemetry_sent_by_application ON "
                       "telemetry_sent(application, sentAt)"),
    };
}

bool keepSentRecords(CacheDatabase &cache, const QStringList &ids)
{
    return runInBatches(cache,
                        QStringLiteral("INSERT OR REPLACE INTO telemetry_sent SELECT id, ?, "
                                       "storageID, application, recordData FROM telemetry JOIN "
                                       "telemetry_levels USING (id) WHERE id IN "),
                        ids, { QDateTime::currentMSecsSinceEpoch() })
        >= 0;
}

int DataCollector::sentRecordsDays() const
{
    return sentRecordBounds().days;
}

void DataCollector::setSentRecordsDays(int days)
{
    sentRecordBounds().days = qMax(0, days);
}

qint64 DataCollector::maxSentRecordsBytes() const
{
    return sentRecordBounds().maxBytes;
}

void DataCollector::setMaxSentRecordsBytes(qint64 bytes)
{
    sentRecordBounds().maxBytes = qMax<qint64>(0, bytes);
}

namespace {

// Those of @p application, or of every application when it is none, newest first; at most
// @p limit, or all of them when it is negative.
bool readSent(const QSqlDatabase &db, const std::optional<QString> &application, int limit,
              QVector<ApplicationSentRecord> &sent, QString *error)
{
    const std::optional<bool> made = hasTable(db, kSentTable, error);
    if (!made || !*made)
        return made.has_value(); // none kept yet, or unreadable
    QVariantList values { limit };
    if (application)
        values.prepend(*application);
    QSqlQuery query(db);
    if (!execBound(query,
                   QStringLiteral("SELECT id, sentAt, locationInfo, recordData, application FROM "
                                  "telemetry_sent LEFT JOIN storages USING (storageID) %1 ORDER "
                                  "BY sentAt DESC, telemetry_sent.rowid DESC LIMIT ?")
                       .arg(application ? QStringLiteral("WHERE application = ?") : QString()),
                   values, error))
        return false;
    while (query.next())
        sent.append({ query.value(4).toString(),
                      { query.value(0).toString(), query.value(1).toLongLong(),
                        query.value(2).toString(), query.value(3).toString() } });
    return true;
}

} // namespace

QVector<SentRecord> DataCollector::sentRecords(const QString &application, int limit, bool *ok)
{
    QVector<ApplicationSentRecord> sent;
    const bool read = !QFileInfo::exists(getCacheDataBaseLocation())
        || readCacheFile([&](const QSqlDatabase &db, QString *error) {
               return readSent(db, application, limit, sent, error);
           });
    if (ok)
        *ok = read;
    QVector<SentRecord> records;
    records.reserve(sent.size());
    for (const ApplicationSentRecord &record : qAsConst(sent))
        records.append(record.sent);
    return records;
}

std::optional<QVector<ApplicationSentRecord>> readAllSentRecords(QString *error)
{
    QVector<ApplicationSentRecord> sent;
    if (!readCacheFile([&](const QSqlDatabase &db,
                           QString *why) { return readSent(db, std::nullopt, -1, sent, why); },
                       BusyWait::BriefOnEventLoop, error))
        return std::nullopt;
    return sent;
}

SentRecordBounds &sentRecordBounds()
{
    static SentRecordBounds bounds;
    return bounds;
}

bool pruneSentRecords(const QSqlDatabase &db, int days, qint64 maxBytes)
{
    static QElapsedTimer sincePrune;
    static QPair<int, qint64> bounds;
    if (sincePrune.isValid() && !sincePrune.hasExpired(kPruneIntervalMs)
        && bounds == qMakePair(days, maxBytes))
        return true;
    QSqlQuery query(db);
    // Counted from the newest, the records whose documents together pass the bound go.
    if (!execBound(query, QStringLiteral("DELETE FROM telemetry_sent WHERE sentAt < ?"),
                   { QDateTime::currentMSecsSinceEpoch() - days * kDayMs })
        || !execBound(query,
                      QStringLiteral("DELETE FROM telemetry_sent WHERE rowid IN (SELECT rowid "
                                     "FROM (SELECT rowid, SUM(length(CAST(recordData AS BLOB))) "
                                     "OVER (ORDER BY sentAt DESC, rowid DESC) AS total FROM "
                                     "telemetry_sent) WHERE total > ?)"),
                      { maxBytes }))
        return false;
    sincePrune.start();
    bounds = qMakePair(days, maxBytes);
    return true;
}

} // namespace kl::telemetry
