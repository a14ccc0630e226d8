#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"

#include "telemetry/runtime/dispatch.h"
#include "telemetry/runtime/raiitransaction.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"
#include "telemetry/runtime/singleton.h"
#include "telemetry/runtime/tables_p.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QThreadPool>

namespace kl::telemetry {

namespace {

constexpr int kFlushDelayMs = 1000;

constexpr QLatin1String kTable("telemetry");
constexpr QLatin1String kIdColumn("id");
constexpr QLatin1String kTimestampColumn("timestamp");
constexpr QLatin1String kStorageIdColumn("storageID");
constexpr QLatin1String kRecordColumn("recordData");

QString createTableStatement()
{
    return QStringLiteral("CREATE TABLE %1(%2 BLOB NOT NULL PRIMARY KEY, %3 INTEGER NOT NULL, "
                          "%4 INTEGER NOT NULL, %5 TEXT NOT NULL)")
        .arg(kTable, kIdColumn, kTimestampColumn, kStorageIdColumn, kRecordColumn);
}

QString createIndexStatement()
{
    return QStringLiteral("CREATE INDEX %1 ON %2(%3)")
        .arg(QLatin1String("time_index"), kTable, kTimestampColumn);
}

QString insertStatement()
{
    return QStringLiteral("INSERT INTO %1 (%2, %3, %4, %5) VALUES (?, ?, ?, ?)")
        .arg(kTable, kIdColumn, kTimestampColumn, kStorageIdColumn, kRecordColumn);
}

} // namespace

DataCollectorPrivate::DataCollectorPrivate(DataCollector *qq)
    : q(qq)
{
}

void DataCollectorPrivate::scheduleFlush()
{
    dispatchToThread(m_thread, kFlushDelayMs, [collector = q, gate = m_gate] {
        auto task = [collector, gate] {
            QMutexLocker locker(&gate->mutex);
            if (gate->open)
                collector->flush();
        };
        QThreadPool::globalInstance()->start(new Task<decltype(task)>(task), 0);
    });
}

// Runs with the collector mutex and the connection mutex held.
void DataCollectorPrivate::createTable()
{
    switch (
        createTableIfMissing(m_db, kTable, { createTableStatement(), createIndexStatement() })) {
    case TableCreation::Skipped:
    case TableCreation::Created:
        return;
    case TableCreation::TransactionRefused:
    case TableCreation::Failed:
        qCCritical(lcTelemetry) << "Cache database creation failed";
    }
}

// Waits for an open still in progress in initialize(), so that the answer is final.
bool DataCollectorPrivate::isConnectionOpen()
{
    QMutexLocker locker(&m_connectionMutex);
    return m_db.isOpen();
}

DataCollectorPrivate::Queue DataCollectorPrivate::takeQueue()
{
    Queue batch;
    QMutexLocker locker(&m_mutex);
    m_queue.swap(batch);
    return batch;
}

bool DataCollectorPrivate::writeBatch(const Queue &batch)
{
    QVariantList ids, timestamps, storageIds, records;
    for (QVariantList *column : { &ids, &timestamps, &storageIds, &records })
        column->reserve(batch.size());
    for (const Row &row : batch) {
        ids.append(row.at(0));
        timestamps.append(row.at(1));
        storageIds.append(row.at(2));
        records.append(row.at(3));
    }

    QMutexLocker locker(&m_connectionMutex);
    QSqlQuery query(m_db);
    const bool prepared = query.prepare(insertStatement());
    query.addBindValue(ids);
    query.addBindValue(timestamps);
    query.addBindValue(storageIds);
    query.addBindValue(records);

    RaiiTransaction transaction(m_db);
    if (!prepared || !transaction.open() || !query.execBatch())
        return false;
    transaction.markSuccessfull();
    if (!batch.isEmpty())
        qCDebug(lcTelemetry) << "Commited" << batch.size() << "records to cache";
    return true;
}

// The failed batch goes behind what was collected meanwhile, in its old order.
void DataCollectorPrivate::requeue(const Queue &batch)
{
    QMutexLocker locker(&m_mutex);
    m_queue.append(batch);
}

DataCollector::DataCollector()
    : d(new DataCollectorPrivate(this))
{
}

DataCollector::~DataCollector()
{
    {
        QMutexLocker locker(&d->m_gate->mutex);
        d->m_gate->open = false;
    }
    delete d;
}

void DataCollector::initialize()
{
    QMutexLocker locker(&d->m_mutex);
    if (d->m_initialized)
        return;
    d->m_initialized = true;
    d->m_thread = QThread::currentThread();
    d->scheduleFlush();

    QMutexLocker connectionLocker(&d->m_connectionMutex);
    d->m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    d->m_db.setDatabaseName(getCacheDataBaseLocation());
    if (!d->m_db.open()) {
        qCCritical(lcTelemetry) << "Connection to database failed";
        return;
    }
    d->createTable();
}

void DataCollector::collect(const QString &id, long long timestamp, int storageId,
                            const QString &record)
{
    DataCollectorPrivate::Row row { id, timestamp, storageId, record };
    QMutexLocker locker(&d->m_mutex);
    d->m_queue.append(std::move(row));
}

void DataCollector::flush()
{
    if (!d->isConnectionOpen()) {
        qCWarning(lcTelemetry) << "Flush operation aborted, connection to database is closed.";
        return;
    }

    SingleExecutor mainLock(QString::fromLatin1(kMainLockName));
    if (mainLock.tryToRun()) {
        const DataCollectorPrivate::Queue batch = d->takeQueue();
        if (!d->writeBatch(batch)) {
            qCCritical(lcTelemetry) << "local cache update failed";
            d->requeue(batch);
        }
    }
    d->scheduleFlush();
}

int DataCollector::getQueuedElementsCount()
{
    QMutexLocker locker(&d->m_mutex);
    return d->m_queue.size();
}

void DataCollector::clearQueue()
{
    QMutexLocker locker(&d->m_mutex);
    d->m_queue.resize(0);
}

int DataCollector::getCachedElementsCount()
{
    QMutexLocker locker(&d->m_connectionMutex);
    if (!d->m_db.isOpen()) {
        qCWarning(lcTelemetry)
            << "getCacheElementCount operation aborted, because connection to database is closed.";
        return 0;
    }
    if (const auto rows = countRows(d->m_db, kTable))
        return *rows;
    qCWarning(lcTelemetry)
        << "getCacheElementCount operation aborted, because SELECT query failed.";
    return 0;
}

void DataCollector::clearCache()
{
    QMutexLocker locker(&d->m_connectionMutex);
    if (!d->m_db.isOpen()) {
        qCWarning(lcTelemetry)
            << "clearCache operation aborted, because connection to database is closed.";
        return;
    }
    switch (clearTable(d->m_db, kTable)) {
    case TableClearing::Cleared:
        return;
    case TableClearing::TransactionRefused:
        qCWarning(lcTelemetry) << "local cache clearing failed: cannot create transaction";
        return;
    case TableClearing::Failed:
        qCWarning(lcTelemetry) << "local cache clearing failed: query or commit DELETE";
    }
}

bool DataCollector::getCacheByStorageId(int storageId, QStringList &ids, QStringList &records)
{
    static const QString queryTemplate = QStringLiteral(
        "SELECT id, recordData FROM telemetry WHERE storageID=%1 ORDER BY timestamp LIMIT 25");

    QMutexLocker locker(&d->m_connectionMutex);
    if (!d->m_db.isOpen()) {
        qCCritical(lcTelemetry)
            << "getCacheByStorageId() aborted, connection to database is closed.";
        return false;
    }
    QSqlQuery query(d->m_db);
    if (!query.exec(queryTemplate.arg(qlonglong(storageId)))) {
        qCCritical(lcTelemetry) << "getCacheByStorageId() aborted, query failed:"
                                << query.lastError();
        return false;
    }
    while (query.next()) {
        ids.append(query.value(0).toString());
        records.append(query.value(1).toString());
    }
    return true;
}

bool DataCollector::deleteByIds(const QStringList &ids)
{
    QMutexLocker locker(&d->m_connectionMutex);
    if (!d->m_db.isOpen()) {
        qCWarning(lcTelemetry)
            << "deleteByIds operation aborted, because connection to database is closed.";
        return false;
    }
    QSqlQuery query(d->m_db);
    const bool prepared = query.prepare(QStringLiteral("DELETE FROM telemetry WHERE id = ?"));
    QVariantList values;
    values.reserve(ids.size());
    for (const QString &id : ids)
        values.append(id);
    query.addBindValue(values);

    RaiiTransaction transaction(d->m_db);
    if (!prepared || !transaction.open() || !query.execBatch()) {
        qCWarning(lcTelemetry) << "local cache update failed";
        return false;
    }
    transaction.markSuccessfull();
    qCWarning(lcTelemetry) << "deleted: " << values.size();
    return true;
}

DataCollector *currentDataCollector()
{
    return Singleton<DataCollector>::getInstance();
}

} // namespace kl::telemetry
