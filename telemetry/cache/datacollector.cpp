#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/batchinsert_p.h"
#include "telemetry/cache/datacollector_p.h"

#include "telemetry/recording/abstractbucket.h"
#include "telemetry/recording/recorder.h"
#include "telemetry/registry/backends_p.h"
#include "telemetry/runtime/dispatch.h"
#include "telemetry/runtime/raiitransaction.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"
#include "telemetry/runtime/singleton.h"
#include "telemetry/runtime/tables_p.h"
#include "telemetry/status/telemetrystatus_p.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QThreadPool>

#include <memory>

namespace kl::telemetry {

namespace {

constexpr int kFlushDelayMs = 1000;
constexpr int kNoStorage = -1;
constexpr int kExitLockWaitMs = 3000;
constexpr int kExitLockStepMs = 20;

QBasicMutex s_beforeExitFlushMutex;
std::function<void()> s_beforeExitFlush;

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

// Serves the oldest-first read of one destination, whatever the other destinations hold.
QString createReadIndexStatement()
{
    return QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON %2(%3, %4)")
        .arg(QLatin1String("storage_time_index"), kTable, kStorageIdColumn, kTimestampColumn);
}

QString insertStatement()
{
    return QStringLiteral("INSERT INTO %1 (%2, %3, %4, %5) VALUES (?, ?, ?, ?)")
        .arg(kTable, kIdColumn, kTimestampColumn, kStorageIdColumn, kRecordColumn);
}

} // namespace

// A link of the flush chain that its thread drops unrun, because that thread has ended, moves
// the chain to the main thread instead of ending it without a word.
struct FlushLink
{
    FlushLink(DataCollectorPrivate *collector, QThread *thread, std::shared_ptr<FlushGate> gate)
        : d(collector)
        , thread(thread)
        , gate(std::move(gate))
    {
    }
    ~FlushLink()
    {
        if (ran)
            return;
        QMutexLocker locker(&gate->mutex);
        if (gate->open)
            d->moveFlushesToMainThread(thread);
    }
    Q_DISABLE_COPY(FlushLink)

    DataCollectorPrivate *d;
    QThread *thread;
    std::shared_ptr<FlushGate> gate;
    bool ran = false;
};

DataCollectorPrivate::DataCollectorPrivate(DataCollector *qq)
    : q(qq)
{
}

void DataCollectorPrivate::scheduleFlush()
{
    QThread *thread;
    {
        QMutexLocker locker(&m_threadMutex);
        thread = m_thread;
    }
    auto link = std::make_shared<FlushLink>(this, thread, m_gate);
    dispatchToThread(thread, kFlushDelayMs, [collector = q, gate = m_gate, link] {
        link->ran = true;
        auto task = [collector, gate] {
            QMutexLocker locker(&gate->mutex);
            if (gate->open)
                collector->flush();
        };
        QThreadPool::globalInstance()->start(new Task<decltype(task)>(task), 0);
    });
}

void DataCollectorPrivate::moveFlushesToMainThread(const QThread *ended)
{
    const QCoreApplication *application = QCoreApplication::instance();
    if (!application || QCoreApplication::closingDown() || ended == application->thread()
        || application->thread()->isFinished())
        return;
    {
        QMutexLocker locker(&m_threadMutex);
        m_thread = application->thread();
        if (std::exchange(m_threadEndSaid, true) == false)
            qCCritical(lcTelemetry)
                << "The thread that started telemetry has finished; flushing goes on in the "
                   "main thread, publishing has stopped in this process";
    }
    scheduleFlush();
}

bool DataCollectorPrivate::isInitialized()
{
    QMutexLocker locker(&m_mutex);
    return m_initialized;
}

// Asks for the location again each time, which retries creating the cache directory. A
// failure is said once, until the file has opened again.
bool DataCollectorPrivate::openConnection()
{
    QMutexLocker locker(&m_connectionMutex);
    m_db.setDatabaseName(getCacheDataBaseLocation());
    if (!m_db.open()) {
        if (!std::exchange(m_openFailing, true))
            qCCritical(lcTelemetry) << "Connection to database failed" << m_db.lastError().text();
        return false;
    }
    if (std::exchange(m_openFailing, false))
        qCInfo(lcTelemetry) << "Connection to database restored";
    createTable();
    m_fileIdentity = fileIdentity(m_db.databaseName());
    return true;
}

// Runs with the connection mutex held.
void DataCollectorPrivate::createTable()
{
    QSqlError error;
    switch (createTableIfMissing(m_db, kTable, { createTableStatement(), createIndexStatement() },
                                 &error)) {
    case TableCreation::Skipped:
    case TableCreation::Created:
        createReadIndex();
        return;
    case TableCreation::TransactionRefused:
    case TableCreation::Failed:
        qCCritical(lcTelemetry) << "Cache database creation failed" << error.text();
    }
}

// Also on caches made before the index existed. Readers and writers that do not know it are
// not affected by it; a failure only leaves the reads slower, and the next start tries again.
void DataCollectorPrivate::createReadIndex()
{
    if (!m_db.tables(QSql::Tables).contains(kTable))
        return; // another process is creating the table
    QSqlQuery query(m_db);
    if (!query.exec(createReadIndexStatement()))
        qCWarning(lcTelemetry) << "Cache index creation failed:" << query.lastError();
}

// Waits for an open still in progress in initialize(), so that the answer is final.
bool DataCollectorPrivate::isConnectionOpen()
{
    QMutexLocker locker(&m_connectionMutex);
    return m_db.isOpen();
}

// A file is another one when its path names another inode, or when it was emptied (SQLite
// files never shrink to nothing), or when its storages say otherwise than this process knows.
bool DataCollectorPrivate::cacheFileReplaced(BackendsPrivate *registry)
{
    const FileIdentity seen = fileIdentity(m_db.databaseName());
    const bool emptied = seen.size == 0 && m_fileIdentity.size > 0;
    const bool other = !seen.sameFileAs(m_fileIdentity) || emptied;
    m_fileIdentity = seen;
    return other || !registry->namesSameDestinations();
}

// Runs under the main lock, before anything is written or read.
bool DataCollectorPrivate::cacheFileUsable()
{
    BackendsPrivate *registry = BackendsPrivate::get(currentBackends());
    if (isConnectionOpen() && cacheFileReplaced(registry)) {
        qCWarning(lcTelemetry) << "Cache database was deleted, replaced or emptied; reopening it";
        {
            QMutexLocker locker(&m_connectionMutex);
            m_db.close();
        }
        registry->close();
        m_rekeyPending = m_dropUnknownRows = true;
    }
    if (isConnectionOpen() || openConnection()) {
        if (registry->needsOpening()) {
            m_rekeyPending = true;
            if (!registry->reopen())
                return false;
        }
        m_unusableSaid = false;
        return !m_rekeyPending || rekeyForCurrentFile(registry);
    }
    if (!std::exchange(m_unusableSaid, true))
        qCWarning(lcTelemetry) << "Flush operation aborted, connection to database is closed.";
    return false;
}

// Rows queued for the older file, or under provisional IDs, are keyed by their destinations'
// IDs in this one. The generation moves on with the queue, so that every bucket asks again.
bool DataCollectorPrivate::rekeyForCurrentFile(BackendsPrivate *registry)
{
    QWriteLocker generationLocker(&cacheFileLock());
    QHash<int, int> newIds;
    const auto storageIdInFile = [&](int storageId) -> std::optional<int> {
        const auto known = newIds.constFind(storageId);
        if (known != newIds.cend())
            return *known;
        std::optional<int> id = registry->storageIdInCurrentFile(storageId);
        // An ID the registry did not hand out came from the host. It means nothing in a
        // replaced file, but may be kept while this process has known no other file.
        if (id == kNoStorage && storageId > 0 && !m_dropUnknownRows)
            id = storageId;
        if (id)
            newIds.insert(storageId, *id);
        return id;
    };
    int dropped = 0;
    if (!rekeyQueue(storageIdInFile, &dropped))
        return false;
    registry->keepStorageIds(newIds);
    bumpCacheFileGeneration();
    m_rekeyPending = m_dropUnknownRows = false;
    if (dropped)
        qCWarning(lcTelemetry) << "Dropped queued records whose destination is unknown:" << dropped;
    return true;
}

// Decides every row before it changes one, so that a failure leaves the queue as it was.
bool DataCollectorPrivate::rekeyQueue(const std::function<std::optional<int>(int)> &storageIdInFile,
                                      int *dropped)
{
    QMutexLocker locker(&m_mutex);
    QVector<int> ids;
    ids.reserve(m_queue.size());
    for (const Row &row : qAsConst(m_queue)) {
        const std::optional<int> id = storageIdInFile(row.storageId);
        if (!id)
            return false;
        ids.append(*id);
    }
    Queue rekeyed;
    rekeyed.reserve(m_queue.size());
    for (int i = 0; i < m_queue.size(); ++i) {
        if (ids.at(i) == kNoStorage) {
            ++*dropped;
            continue;
        }
        rekeyed.append(m_queue.at(i));
        rekeyed.last().storageId = ids.at(i);
    }
    m_queue.swap(rekeyed);
    return true;
}

DataCollectorPrivate::Queue DataCollectorPrivate::takeQueue()
{
    Queue batch;
    QMutexLocker locker(&m_mutex);
    m_queue.swap(batch);
    return batch;
}

// A commit can fail after every insert went well, so it is made here, not at destruction: a
// batch must go back to the queue unless it is stored.
bool DataCollectorPrivate::writeBatch(const Queue &batch, QString *error)
{
    QMutexLocker locker(&m_connectionMutex);
    RaiiTransaction transaction(m_db);
    if (!transaction.open()) {
        *error = m_db.lastError().databaseText();
        return false;
    }
    if (!insertRows(m_db, insertStatement(), batch, error))
        return false;
    if (!transaction.commit()) {
        *error = m_db.lastError().text();
        return false;
    }
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

void DataCollectorPrivate::dropQueued(const QList<int> &storageIds)
{
    QMutexLocker locker(&m_mutex);
    m_queue.erase(std::remove_if(
                      m_queue.begin(), m_queue.end(),
                      [&storageIds](const Row &row) { return storageIds.contains(row.storageId); }),
                  m_queue.end());
}

// Runs under the main lock, or past a wait for it at exit; false when nothing could be written.
bool DataCollectorPrivate::writeQueue()
{
    if (!cacheFileUsable())
        return false;
    const Queue batch = takeQueue();
    QString error;
    if (!writeBatch(batch, &error)) {
        qCCritical(lcTelemetry) << "local cache update failed" << error;
        requeue(batch);
        return false;
    }
    dropOldestBeyondBound();
    return true;
}

// Rowids grow with each insert, so their span bounds the row count from above and costs
// two index look-ups; the count runs only when the span passes the bound.
void DataCollectorPrivate::dropOldestBeyondBound()
{
    const int bound = m_maxCachedRecords.load();
    if (bound <= 0)
        return;
    QMutexLocker locker(&m_connectionMutex);
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("SELECT MAX(rowid) - MIN(rowid) + 1 FROM telemetry"))
        || !query.next() || query.value(0).toLongLong() <= bound)
        return;
    const std::optional<int> rows = countRows(m_db, kTable);
    if (!rows || *rows <= bound)
        return;
    const int excess = *rows - bound;
    if (!query.exec(QStringLiteral("DELETE FROM telemetry WHERE rowid IN (SELECT rowid FROM "
                                   "telemetry ORDER BY rowid LIMIT %1)")
                        .arg(excess))) {
        qCWarning(lcTelemetry) << "Cache bound: dropping the oldest records failed"
                               << query.lastError();
        return;
    }
    qCWarning(lcTelemetry) << "Cache bound reached, dropped the oldest records:" << excess;
}

// Another process's upload holds the main lock until its answer, up to the upload time-out
// (30 s by default), and the queue would die with the process. Past a short wait it goes in
// without the lock: SQLite serialises the writers, and an upload deletes only the ids it sent.
// Only the first call at exit waits: the collector's end after aboutToQuit has waited already
// must not double the time to exit.
void DataCollectorPrivate::flushAtExit()
{
    const bool waited = m_exitWaited.exchange(true);
    if (!isInitialized() || !TelemetryPolicy::isEnabled() || q->getQueuedElementsCount() == 0)
        return;
    {
        QMutexLocker locker(&s_beforeExitFlushMutex);
        if (s_beforeExitFlush)
            s_beforeExitFlush();
    }
    const QDeadlineTimer deadline(waited ? 0 : kExitLockWaitMs);
    SingleExecutor mainLock(QString::fromLatin1(kMainLockName));
    while (!mainLock.tryToRun() && !deadline.hasExpired())
        QThread::msleep(kExitLockStepMs);
    if (!writeQueue())
        qCWarning(lcTelemetry) << "Records lost at exit, the cache could not be written:"
                               << q->getQueuedElementsCount();
}

void DataCollectorPrivate::setBeforeExitFlush(std::function<void()> callback)
{
    QMutexLocker locker(&s_beforeExitFlushMutex);
    s_beforeExitFlush = std::move(callback);
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
    QObject::disconnect(d->m_quitConnection);
    QObject::disconnect(d->m_applicationEndConnection);
    // Past the application's end the process's collector has written its queue already, and
    // the registry it would need is gone with the other statics.
    if (QCoreApplication::instance())
        d->flushAtExit();
    delete d;
}

void DataCollector::initialize()
{
    QMutexLocker locker(&d->m_mutex);
    if (d->m_initialized)
        return;
    d->m_initialized = true;
    {
        QMutexLocker threadLocker(&d->m_threadMutex);
        d->m_thread = QThread::currentThread();
    }
    d->scheduleFlush();
    if (const QCoreApplication *application = QCoreApplication::instance()) {
        d->m_quitConnection = QObject::connect(application, &QCoreApplication::aboutToQuit,
                                               [d = d] { d->flushAtExit(); });
        // An application that returns from main() without exec() never says aboutToQuit.
        d->m_applicationEndConnection
            = QObject::connect(application, &QObject::destroyed, [d = d] { d->flushAtExit(); });
    }
    {
        QMutexLocker connectionLocker(&d->m_connectionMutex);
        d->m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    }
    // Until the flush cycle has opened the file, buckets get provisional storage IDs. Without
    // consent no file is created before the host gives it.
    d->m_rekeyPending = !TelemetryPolicy::isEnabled() || !d->openConnection();
}

void DataCollector::collect(const QString &id, long long timestamp, int storageId,
                            const QString &record)
{
    collect(id, timestamp, storageId, record.toUtf8());
}

void DataCollector::collect(const QString &id, long long timestamp, int storageId,
                            QByteArray record)
{
    // Serialisers leave room to grow (QString::toUtf8 three bytes per character); a queue
    // that holds records for a while should not keep it.
    if (record.capacity() > record.size())
        record.squeeze();
    DataCollectorPrivate::Row row { id, timestamp, storageId, std::move(record) };
    QMutexLocker locker(&d->m_mutex);
    d->m_queue.append(std::move(row));
}

bool DataCollector::checkCacheFile()
{
    return d->isInitialized() && d->cacheFileUsable();
}

void DataCollector::flush()
{
    if (!d->isInitialized()) {
        qCWarning(lcTelemetry) << "Flush operation aborted, connection to database is closed.";
        return;
    }

    if (TelemetryPolicy::isEnabled()) {
        SingleExecutor mainLock(QString::fromLatin1(kMainLockName));
        if (mainLock.tryToRun())
            d->writeQueue();
    }
    TelemetryStatusPrivate::countsMayHaveChanged();
    d->scheduleFlush();
}

int DataCollector::maxCachedRecords() const
{
    return d->m_maxCachedRecords.load();
}

void DataCollector::setMaxCachedRecords(int records)
{
    d->m_maxCachedRecords.store(qMax(0, records));
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
