// The user's consent in the cache file: each application's decision, and the level of each
// record made under one, so that lowering the level drops what it no longer allows. Every
// process of the user reads the decision there, and hears of a change through a marker file
// that each stored decision rewrites.

#include "telemetry/cache/consentstore_p.h"

#include "telemetry/cache/datacollector_p.h"
#include "telemetry/cache/sentrecords_p.h"
#include "telemetry/cache/usage_p.h"
#include "telemetry/runtime/raiitransaction.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/tables_p.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QUuid>

#include <algorithm>

namespace kl::telemetry {

QStringList consentTableStatements()
{
    return {
        QStringLiteral("CREATE TABLE IF NOT EXISTS telemetry_consent(application TEXT NOT NULL "
                       "PRIMARY KEY, level INTEGER, changedAt INTEGER NOT NULL)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS telemetry_levels(id BLOB NOT NULL PRIMARY KEY, "
                       "application TEXT NOT NULL, level INTEGER NOT NULL)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS telemetry_levels_by_application ON "
                       "telemetry_levels(application, level)"),
    };
}

namespace {

bool insertLevels(const QSqlDatabase &db, const QString &application, const RecordQueue::Rows &rows,
                  QString *error)
{
    QVariantList ids;
    QVariantList applications;
    QVariantList levels;
    for (const QueuedRow &row : rows) {
        ids.append(row.id);
        applications.append(application);
        levels.append(row.level);
    }
    QSqlQuery insert(db);
    if (insert.prepare(
            QStringLiteral("INSERT OR REPLACE INTO telemetry_levels VALUES (?, ?, ?)"))) {
        insert.addBindValue(ids);
        insert.addBindValue(applications);
        insert.addBindValue(levels);
        if (insert.execBatch())
            return true;
    }
    *error = insert.lastError().databaseText();
    return false;
}

// Records of a level above the decision's go from both tables, and their levels with them.
bool dropRecordsAbove(const QSqlDatabase &db, const QString &application, int level,
                      QString *error = nullptr)
{
    const QString refused = QStringLiteral(
        "id IN (SELECT id FROM telemetry_levels WHERE application = ? AND level > ?)");
    const std::optional<bool> setAside = hasTable(db, QStringLiteral("telemetry_setaside"), error);
    if (!setAside)
        return false;
    QStringList statements = { QStringLiteral("DELETE FROM telemetry WHERE ") + refused };
    if (*setAside)
        statements << QStringLiteral("DELETE FROM telemetry_setaside WHERE ") + refused;
    statements << QStringLiteral(
        "DELETE FROM telemetry_levels WHERE application = ? AND level > ?");
    QSqlQuery query(db);
    return std::all_of(statements.begin(), statements.end(), [&](const QString &statement) {
        return execBound(query, statement, { application, level }, error);
    });
}

} // namespace

std::optional<ConsentDecision> storedDecision(const QSqlDatabase &db, const QString &application,
                                              QString *error)
{
    QSqlQuery query(db);
    if (!execBound(
            query,
            QStringLiteral("SELECT level, changedAt FROM telemetry_consent WHERE application = ?"),
            { application }, error))
        return std::nullopt;
    if (!query.next())
        return ConsentDecision {};
    const QVariant level = query.value(0);
    return ConsentDecision { level.isNull() ? kUndecided : level.toInt(),
                             query.value(1).toLongLong() };
}

bool keepLevels(const QSqlDatabase &db, const RecordQueue::Rows &rows, QString *error)
{
    const QString application = governingApplication();
    if (application.isEmpty() || rows.isEmpty())
        return true;
    const std::optional<ConsentDecision> stored = storedDecision(db, application, error);
    if (!stored || !insertLevels(db, application, rows, error))
        return false;
    // Rows made before this process heard of a lower level go, as do those of other processes.
    const ConsentDecision decision = laterDecision(governingDecision(), *stored);
    const SentRecordBounds &bounds = sentRecordBounds();
    return (decision.level >= kDetailedLevel
            || dropRecordsAbove(db, application, decision.level, error))
        && pruneSentRecords(db, bounds.days, bounds.maxBytes);
}

std::optional<ConsentDecision> storeDecision(const QSqlDatabase &db, const QString &application,
                                             ConsentDecision decision, QString *error)
{
    // Of two processes that decide at once, the later decision holds, whichever commits last.
    QSqlQuery upsert(db);
    if (!execBound(upsert,
                   QStringLiteral("INSERT INTO telemetry_consent VALUES (?, ?, ?) ON "
                                  "CONFLICT(application) DO UPDATE SET level = excluded.level, "
                                  "changedAt = excluded.changedAt WHERE excluded.changedAt >= "
                                  "telemetry_consent.changedAt"),
                   { application, decision.isDecided() ? QVariant(decision.level) : QVariant(),
                     decision.changedAt },
                   error))
        return std::nullopt;
    const std::optional<ConsentDecision> kept = storedDecision(db, application, error);
    if (!kept || !dropRecordsAbove(db, application, kept->level, error))
        return std::nullopt;
    return kept;
}

namespace {

// Whether @p path starts as an SQLite file does. SQLite takes an empty file for a new database
// and a file of another kind for one it cannot read, but in both cases opens the write-ahead
// log and the shared memory of the file that stood there before, a second time in this
// process: closing it drops the process's locks on them, and another process may then reset
// the shared memory that the first connection still reads, which ends this one with SIGBUS.
bool isDatabaseFile(const QString &path, QString *error)
{
    QFile file(path);
    const bool database
        = file.open(QIODevice::ReadOnly) && file.read(16) == QByteArray("SQLite format 3\0", 16);
    if (!database)
        *error = path + QStringLiteral(" holds no database now");
    return database;
}

} // namespace

bool readCacheFile(const std::function<bool(const QSqlDatabase &, QString *error)> &read,
                   BusyWait wait, QString *why)
{
    const QString name = QLatin1String("korvel.telemetry.reader.")
        + QUuid::createUuid().toString(QUuid::WithoutBraces);
    bool done = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(getCacheDataBaseLocation());
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        QString error;
        if (isDatabaseFile(db.databaseName(), &error) && db.open()) {
            applyBusyTimeout(db, wait);
            done = read(db, &error);
        } else if (error.isEmpty()) {
            error = db.lastError().text();
        }
        if (!done)
            qCWarning(lcTelemetry) << "The cache cannot be read:" << error;
        if (!done && why)
            *why = error;
    }
    QSqlDatabase::removeDatabase(name);
    return done;
}

std::optional<ConsentDecision> readStoredDecision(const QString &application)
{
    if (!QFileInfo::exists(getCacheDataBaseLocation()))
        return ConsentDecision {};
    std::optional<ConsentDecision> decision;
    readCacheFile([&](const QSqlDatabase &db, QString *error) {
        const std::optional<bool> made = hasTable(db, kConsentTable, error);
        if (made)
            decision = *made ? storedDecision(db, application, error) : ConsentDecision {};
        return decision.has_value();
    });
    return decision;
}

QString consentChangeMarkerPath()
{
    return QFileInfo(getCacheDataBaseLocation())
        .dir()
        .filePath(QStringLiteral("korvel.telemetry.consent"));
}

void touchConsentChangeMarker()
{
    QFile marker(consentChangeMarkerPath());
    if (!marker.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || marker.write(QByteArray::number(QDateTime::currentMSecsSinceEpoch())) < 0)
        qCWarning(lcTelemetry) << "Other processes cannot be told of the new consent:"
                               << marker.errorString();
}

// Under the main lock, on a pool thread.
std::optional<ConsentDecision> DataCollectorPrivate::storeConsent(const QString &application,
                                                                  ConsentDecision decision)
{
    if (!isInitialized() || !m_cache.makeUsable(m_queue))
        return std::nullopt;
    std::optional<ConsentDecision> kept;
    {
        const ConnectionLocker locker = m_cache.lock();
        const QSqlDatabase &db = m_cache.connection();
        RaiiTransaction transaction(db);
        QString error;
        if (transaction.open())
            kept = storeDecision(db, application, decision, &error);
        if (!kept || !transaction.commit()) {
            qCWarning(lcTelemetry)
                << "The user's consent cannot be kept in the cache:"
                << (error.isEmpty() ? transaction.lastError().databaseText() : error);
            return std::nullopt;
        }
    }
    if (application == governingApplication())
        dropQueuedRowsRefusedBy(*kept);
    touchConsentChangeMarker();
    return kept;
}

// Under the main lock, on a pool thread.
bool DataCollectorPrivate::deleteApplicationData(const QString &application)
{
    if (application == governingApplication())
        dropQueuedRowsRefusedBy({});
    openExistingCacheFile();
    if (!m_cache.isOpen())
        return !QFileInfo::exists(getCacheDataBaseLocation());
    const ConnectionLocker locker = m_cache.lock();
    const QSqlDatabase &db = m_cache.connection();
    RaiiTransaction transaction(db);
    QSqlQuery query(db);
    QString error;
    const bool deleted = transaction.open() && dropRecordsAbove(db, application, kUndecided, &error)
        && execBound(query, QStringLiteral("DELETE FROM telemetry_sent WHERE application = ?"),
                     { application }, &error)
        && dropUsage(db, application, &error);
    if (!deleted || !transaction.commit()) {
        qCWarning(lcTelemetry) << "The application's data cannot be deleted from the cache:"
                               << (error.isEmpty() ? transaction.lastError().databaseText()
                                                   : error);
        return false;
    }
    return true;
}

void DataCollectorPrivate::dropQueuedRowsRefusedBy(ConsentDecision decision)
{
    m_queue.dropWhere([decision](const QueuedRow &row) { return !decision.allows(row.level); });
}

} // namespace kl::telemetry
