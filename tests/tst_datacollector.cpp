#include "telemetry/cache/datacollector.h"
#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/registry/backends.h"
#include "telemetry/runtime/runtime.h"

#include "testsupport.h"

#include <QRandomGenerator>
#include <QSqlQuery>

#include <cstdio>
#include <thread>

using namespace kl::telemetry;
using namespace kl::telemetry::test;

namespace {

struct CachedRow
{
    QString id;
    qint64 timestamp;
    int storageId;
    QString record;
};

// One line per row, with SQLite's own type of the id column, for readable comparisons.
QStringList describe(const QVector<CachedRow> &rows)
{
    QStringList lines;
    for (const CachedRow &row : rows)
        lines << QStringLiteral("%1 %2 %3 %4 text")
                     .arg(row.id)
                     .arg(row.timestamp)
                     .arg(row.storageId)
                     .arg(row.record);
    return lines;
}

// The cached rows in insertion order, as another SQLite client reads them.
QStringList cachedRows(const CacheConnection &connection)
{
    QSqlQuery query(QStringLiteral("SELECT id || ' ' || timestamp || ' ' || storageID || ' ' || "
                                   "recordData || ' ' || typeof(id) FROM telemetry ORDER BY rowid"),
                    connection.database());
    QStringList rows;
    while (query.next())
        rows << query.value(0).toString();
    return rows;
}

CachedRow makeRow(qint64 timestamp, int storageId)
{
    return { generateUniqueId(), timestamp, storageId,
             QStringLiteral("{\"n\":%1,\"s\":\"\u00e5\"}").arg(timestamp) };
}

} // namespace

class TestDataCollector : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rowsReachTheTableInCollectionOrder();
    void lockHeldByAnotherProcessDefersWriting();
    void refusedBatchIsRequeuedBehindNewRows_data();
    void refusedBatchIsRequeuedBehindNewRows();
    void tablesAreLeftToTheHolderOfTheDatabaseLock();
    void queriesReadOldestFirstAndDelete();
    void unopenableCache();
    void brokenTable();
    void exitWhileFlushingNeverCrashes();
    void readIndexOnNewAndOldCaches_data();
    void readIndexOnNewAndOldCaches();
    void documentsAreStoredExactly_data();
    void documentsAreStoredExactly();
    void flushesGoOnWhenTheStartingThreadEnds();
    void unopenableCacheIsRetried();
    void replacedCacheFileIsReopened_data();
    void replacedCacheFileIsReopened();
    void cacheBoundDropsTheOldest();
    void queueIsWrittenAtExit();
    void startingDisabledCreatesNoFile();
    void purgeByBucketKeepsOtherDestinations();

private:
    void collect(const QVector<CachedRow> &rows);

    std::unique_ptr<QTemporaryDir> m_cacheHome;
    std::unique_ptr<DataCollector> m_collector;
    std::unique_ptr<MessageCapture> m_messages;
};

void TestDataCollector::init()
{
    m_cacheHome = std::make_unique<QTemporaryDir>();
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_cacheHome->path()));
    m_messages = std::make_unique<MessageCapture>();
    m_collector = std::make_unique<DataCollector>();
}

void TestDataCollector::cleanup()
{
    m_collector.reset();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    m_messages.reset();
}

void TestDataCollector::collect(const QVector<CachedRow> &rows)
{
    for (const CachedRow &row : rows)
        m_collector->collect(row.id, row.timestamp, row.storageId, row.record);
}

void TestDataCollector::rowsReachTheTableInCollectionOrder()
{
    const QVector<CachedRow> before { makeRow(1700000000002, 3), makeRow(1700000000001, 1) };
    const QVector<CachedRow> after { makeRow(5, 2), makeRow(1700000000000, 3) };
    collect(before);
    m_collector->initialize();
    collect(after);
    CacheConnection reader;
    QTRY_COMPARE(cachedRows(reader), describe(before + after));
    QCOMPARE(m_collector->getQueuedElementsCount(), 0);
    QCOMPARE(m_collector->getCachedElementsCount(), 4);
    QCOMPARE(m_messages->all(), QStringList());
}

// Held for longer than a flush period, so that the cycle itself meets the lock.
void TestDataCollector::lockHeldByAnotherProcessDefersWriting()
{
    auto holder = startHelper({ "hold", QString::fromLatin1(kMainLockName) });
    QCOMPARE(readHelperLine(*holder), QByteArray("held"));
    m_collector->initialize();
    const QVector<CachedRow> rows { makeRow(10, 1), makeRow(11, 1), makeRow(12, 1) };
    collect(rows);
    m_collector->flush();
    QTest::qWait(2500);
    QCOMPARE(m_collector->getQueuedElementsCount(), rows.size());
    CacheConnection reader;
    QCOMPARE(cachedRows(reader), QStringList());
    holder->closeWriteChannel();
    QVERIFY(holder->waitForFinished());
    QTRY_COMPARE(cachedRows(reader), describe(rows));
}

void TestDataCollector::refusedBatchIsRequeuedBehindNewRows_data()
{
    QTest::addColumn<QStringList>("statements");
    QTest::addColumn<QString>("refused");
    // A writer makes a flush's insert wait for SQLite's busy time-out, then fail; a reader lets
    // the inserts through and makes the commit fail the same way.
    QTest::addRow("write lock") << QStringList { "BEGIN IMMEDIATE" }
                                << "critical: local cache update failed \"database is locked\"";
    QTest::addRow("read lock") << QStringList { "BEGIN", "SELECT COUNT(*) FROM telemetry" }
                               << "critical: local cache update failed \"database is locked "
                                  "Unable to commit transaction\"";
}

void TestDataCollector::refusedBatchIsRequeuedBehindNewRows()
{
    QFETCH(QStringList, statements);
    QFETCH(QString, refused);
    m_collector->initialize();
    CacheConnection other;
    for (const QString &statement : qAsConst(statements))
        QVERIFY(other.exec(statement));

    const QVector<CachedRow> batch { makeRow(20, 1), makeRow(21, 2), makeRow(22, 1) };
    collect(batch);
    std::thread flushing([this] { m_collector->flush(); });
    QTRY_COMPARE(m_collector->getQueuedElementsCount(), 0);
    const QVector<CachedRow> meanwhile { makeRow(30, 1), makeRow(31, 1) };
    collect(meanwhile);
    flushing.join();
    const QStringList messages = m_messages->all();
    QVERIFY(!messages.isEmpty());
    QCOMPARE(messages.count(refused), messages.size());
    // Later flushes of the cycle retry the whole queue until the cause is gone.
    QVERIFY(other.exec(QStringLiteral("ROLLBACK")));
    QTRY_COMPARE_WITH_TIMEOUT(cachedRows(other), describe(meanwhile + batch), 15000);
}

void TestDataCollector::tablesAreLeftToTheHolderOfTheDatabaseLock()
{
    auto holder = startHelper({ "hold", QString::fromLatin1(kDbLockName) });
    QCOMPARE(readHelperLine(*holder), QByteArray("held"));
    m_collector->initialize();
    QCOMPARE(CacheConnection().database().tables(), QStringList());
    holder->closeWriteChannel();
    QVERIFY(holder->waitForFinished());
}

void TestDataCollector::queriesReadOldestFirstAndDelete()
{
    m_collector->initialize();
    QVector<CachedRow> ours;
    for (int i = 0; i < 30; ++i)
        ours.append(makeRow(1000 + i, 7));
    QVector<CachedRow> shuffled = ours;
    std::shuffle(shuffled.begin(), shuffled.end(), *QRandomGenerator::global());
    // Older rows of other destinations must never come back.
    collect({ makeRow(1, 17), makeRow(2, 70), makeRow(3, 1) });
    collect(shuffled);
    m_collector->flush();

    QStringList ids { "kept" }, records { "kept" };
    QVERIFY(m_collector->getCacheByStorageId(7, ids, records));
    QCOMPARE(ids.takeFirst() + records.takeFirst(), QStringLiteral("keptkept"));
    QCOMPARE(ids.size(), 25);
    for (int i = 0; i < 25; ++i)
        QCOMPARE(ids.at(i) + records.at(i), ours.at(i).id + ours.at(i).record);
    QVERIFY(m_collector->deleteByIds(ids));
    QVERIFY(m_collector->deleteByIds({ "absent", "missing" }));
    QCOMPARE(m_messages->all(), (QStringList { "warning: deleted:  25", "warning: deleted:  2" }));
    QStringList rest;
    QVERIFY(m_collector->getCacheByStorageId(7, rest, records));
    QVERIFY(m_collector->getCacheByStorageId(99, rest, records));
    QCOMPARE(rest.size(), 5);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(rest.at(i), ours.at(25 + i).id);
    collect({ makeRow(4, 7) });
    m_collector->clearCache(); // the queue stays
    QCOMPARE(m_collector->getCachedElementsCount(), 0);
    m_collector->flush();
    QCOMPARE(m_collector->getCachedElementsCount(), 1);
}

// A directory at the cache path keeps the database from opening.
void TestDataCollector::unopenableCache()
{
    QVERIFY(QDir().mkpath(getCacheDataBaseLocation()));
    m_collector->initialize();
    QStringList ids { "a" }, records;
    QCOMPARE(m_collector->getCachedElementsCount(), 0);
    m_collector->clearCache();
    QVERIFY(!m_collector->getCacheByStorageId(1, ids, records));
    QVERIFY(!m_collector->deleteByIds(ids));
    m_collector->collect("a", 1, 1, QStringLiteral("{}"));
    m_collector->flush();
    QCOMPARE(m_collector->getQueuedElementsCount(), 1);
    QCOMPARE(ids + records, QStringList { "a" });
    const QString aborted = "operation aborted, because connection to database is closed.";
    QCOMPARE(
        m_messages->all(),
        (QStringList { "critical: Connection to database failed \"unable to open database file "
                       "Error opening database\"",
                       "warning: getCacheElementCount " + aborted, "warning: clearCache " + aborted,
                       "critical: getCacheByStorageId() aborted, connection to database is "
                       "closed.",
                       "warning: deleteByIds " + aborted,
                       "warning: Flush operation aborted, connection to database is closed." }));
}

// Another client drops the table; SQLite's error text may follow a message.
void TestDataCollector::brokenTable()
{
    m_collector->initialize();
    QVERIFY(QSqlDatabase::database().transaction()); // on the collector's own connection
    m_collector->clearCache();
    QVERIFY(QSqlDatabase::database().rollback());
    QVERIFY(CacheConnection().exec(QStringLiteral("DROP TABLE telemetry")));
    QStringList ids { "a" }, records;
    QCOMPARE(m_collector->getCachedElementsCount(), 0);
    m_collector->clearCache();
    QVERIFY(!m_collector->getCacheByStorageId(1, ids, records));
    QVERIFY(!m_collector->deleteByIds(ids));
    QStringList messages = m_messages->all();
    const QString failed = messages.value(3);
    QVERIFY2(failed.startsWith("critical: getCacheByStorageId() aborted, query failed: QSqlError("),
             qPrintable(failed));
    messages.removeAt(3);
    QCOMPARE(messages,
             (QStringList { "warning: local cache clearing failed: cannot create transaction",
                            "warning: getCacheElementCount operation aborted, because SELECT "
                            "query failed.",
                            "warning: local cache clearing failed: query or commit DELETE",
                            "warning: local cache update failed" }));
}

void TestDataCollector::exitWhileFlushingNeverCrashes()
{
    QCOMPARE(runHelper({ "deleted-thread" }), QByteArray("survived"));
    // Exits land before, during and after the first flush of 20 000 rows, about 1000 ms in.
    for (int run = 0; run < 16; ++run) {
        const QString delay = QString::number(QRandomGenerator::global()->bounded(850, 1400));
        const QString order = run % 2 ? "pool-last" : "pool-first";
        auto helper = startHelper({ "collect-exit", "20000", delay, order });
        QVERIFY(helper->waitForFinished(30000));
        QVERIFY2(helper->exitStatus() == QProcess::NormalExit && helper->exitCode() == 0,
                 qPrintable(QStringLiteral("exit %1 ms in, %2").arg(delay, order)));
    }
}

void TestDataCollector::readIndexOnNewAndOldCaches_data()
{
    QTest::addColumn<bool>("madeBeforeTheIndex");
    QTest::addRow("new cache") << false;
    QTest::addRow("cache made before the index") << true;
}

void TestDataCollector::readIndexOnNewAndOldCaches()
{
    QFETCH(bool, madeBeforeTheIndex);
    const QString table = QStringLiteral(
        "CREATE TABLE telemetry(id BLOB NOT NULL PRIMARY KEY, timestamp INTEGER NOT NULL, "
        "storageID INTEGER NOT NULL, recordData TEXT NOT NULL)");
    if (madeBeforeTheIndex) {
        CacheConnection old;
        QVERIFY(old.exec(table));
        QVERIFY(old.exec(QStringLiteral("CREATE INDEX time_index ON telemetry(timestamp)")));
    }
    m_collector->initialize();

    CacheConnection reader;
    QSqlQuery query(reader.database());
    QVERIFY(query.exec(QStringLiteral("SELECT sql FROM sqlite_master WHERE name = 'telemetry'")));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toString(), table);
    // The oldest-first read of one destination walks only that destination's rows.
    QVERIFY(query.exec(QStringLiteral("EXPLAIN QUERY PLAN SELECT id, recordData FROM telemetry "
                                      "WHERE storageID=7 ORDER BY timestamp LIMIT 25")));
    QStringList plan;
    while (query.next())
        plan << query.value(3).toString();
    QCOMPARE(plan, QStringList { "SEARCH telemetry USING INDEX storage_time_index (storageID=?)" });
    QCOMPARE(m_messages->all(), QStringList());
}

void TestDataCollector::documentsAreStoredExactly_data()
{
    QTest::addColumn<QString>("record");
    QTest::addColumn<bool>("asUtf8");
    const QString mixed
        = QStringLiteral("{\"s\":\"a") + QChar(0) + QStringLiteral("b \u00e5 \u4e2d \U0001f600\"}");
    QTest::addRow("NUL and non-ASCII, as text") << mixed << false;
    QTest::addRow("NUL and non-ASCII, as UTF-8") << mixed << true;
    QTest::addRow("10 MB, as UTF-8") << QString(10 * 1024 * 1024, QChar(0xe9)) << true;
}

void TestDataCollector::documentsAreStoredExactly()
{
    QFETCH(QString, record);
    QFETCH(bool, asUtf8);
    m_collector->initialize();
    const QString id = generateUniqueId();
    if (asUtf8)
        m_collector->collect(id, 1, 5, record.toUtf8());
    else
        m_collector->collect(id, 1, 5, record);
    m_collector->flush();

    QStringList ids, records;
    QVERIFY(m_collector->getCacheByStorageId(5, ids, records));
    QCOMPARE(ids, QStringList { id });
    QVERIFY(records.first() == record);
    CacheConnection reader;
    QSqlQuery query(reader.database());
    QVERIFY(query.exec(QStringLiteral("SELECT typeof(recordData), CAST(recordData AS BLOB) "
                                      "FROM telemetry")));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toString(), QStringLiteral("text"));
    QVERIFY(query.value(1).toByteArray() == record.toUtf8());
}

void TestDataCollector::flushesGoOnWhenTheStartingThreadEnds()
{
    std::unique_ptr<QThread> thread(QThread::create([this] { m_collector->initialize(); }));
    thread->start();
    QVERIFY(thread->wait(10000));
    const QVector<CachedRow> first { makeRow(1, 1) }, second { makeRow(2, 1) };
    collect(first);
    CacheConnection reader;
    QTRY_COMPARE_WITH_TIMEOUT(cachedRows(reader), describe(first), 10000);
    collect(second);
    QTRY_COMPARE_WITH_TIMEOUT(cachedRows(reader), describe(first + second), 10000);
    QCOMPARE(m_messages->all(),
             QStringList { "critical: The thread that started telemetry has finished; flushing "
                           "goes on in the main thread, publishing has stopped in this process" });
}

namespace {

// The helper's "road": the whole library recording for one destination in a process of its
// own. Its log lines are gathered while it is waited for.
struct Road
{
    explicit Road(const QString &database)
        : process(startHelper({ "road", QStringLiteral("http://127.0.0.1:1"), database }))
    {
    }
    ~Road()
    {
        process->closeWriteChannel();
        process->waitForFinished(10000);
    }
    bool record(int count)
    {
        process->write("record " + QByteArray::number(count) + '\n');
        for (QByteArray line; !(line = readHelperLine(*process, 20000)).isEmpty(); log << line) {
            if (line == "recorded")
                return true;
        }
        return false;
    }
    std::unique_ptr<QProcess> process;
    QByteArrayList log;
};

// Cached rows per destination database, as another SQLite client sees them.
QMap<QString, int> rowsPerDestination()
{
    CacheConnection cache;
    QSqlQuery query(cache.database());
    query.exec(QStringLiteral("SELECT locationInfo, COUNT(*) FROM telemetry LEFT JOIN storages "
                              "USING (storageID) GROUP BY telemetry.storageID"));
    QMap<QString, int> rows;
    while (query.next())
        rows.insert(QJsonDocument::fromJson(query.value(0).toString().toUtf8())
                        .object()
                        .value(QLatin1String("database"))
                        .toString(),
                    query.value(1).toInt());
    return rows;
}

} // namespace

void TestDataCollector::unopenableCacheIsRetried()
{
    // A file where the cache directory belongs: it cannot be created until the file goes.
    const QString directory = QFileInfo(getCacheDataBaseLocation()).path();
    QVERIFY(QDir(directory).removeRecursively());
    QVERIFY(QFile(directory).open(QIODevice::WriteOnly));
    Road road(QStringLiteral("late"));
    QVERIFY(road.record(2));
    QTest::qWait(2500); // flushes retrying in vain, which must not speak again
    QVERIFY(road.record(1));
    QVERIFY(QFile::remove(directory));
    QTRY_COMPARE_WITH_TIMEOUT(rowsPerDestination(), (QMap<QString, int> { { "late", 3 } }), 15000);
    QVERIFY(road.record(0));
    const QByteArray reason = " \"unable to open database file Error opening database\"";
    QCOMPARE(
        road.log,
        (QByteArrayList { "critical: Connection to database failed" + reason,
                          "critical: Failed to open data base for backend retrieval" + reason,
                          "warning: Flush operation aborted, connection to database is closed.",
                          "info: Connection to database restored" }));
}

void TestDataCollector::replacedCacheFileIsReopened_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addRow("deleted") << "deleted";
    QTest::addRow("truncated") << "truncated";
    QTest::addRow("overwritten by another file") << "overwritten";
}

void TestDataCollector::replacedCacheFileIsReopened()
{
    QFETCH(QString, fault);
    const QString location = getCacheDataBaseLocation();
    Road road(QStringLiteral("ours"));
    QVERIFY(road.record(2));
    QTRY_COMPARE_WITH_TIMEOUT(rowsPerDestination(), (QMap<QString, int> { { "ours", 2 } }), 15000);

    // Held, no flush can notice the fault before records are queued under the old storage ID.
    std::unique_ptr<QProcess> lock;
    for (QByteArray answer; answer != "held"; answer = readHelperLine(*lock))
        lock = startHelper({ QStringLiteral("hold"), QString::fromLatin1(kMainLockName) });
    // What another process leaves in the new file: its destination under the old ID, a record.
    QStringList schema;
    {
        CacheConnection cache;
        QSqlQuery query(cache.database());
        QVERIFY(query.exec(
            "SELECT sql FROM sqlite_master WHERE tbl_name = 'telemetry' AND sql NOT NULL"));
        while (query.next())
            schema << query.value(0).toString();
    }
    const auto otherProcessStarts = [&schema] {
        if (runHelper({ "storage-id", "http://127.0.0.1:1", "theirs" }) != "1")
            return false;
        CacheConnection cache;
        return std::all_of(schema.cbegin(), schema.cend(),
                           [&](const QString &statement) { return cache.exec(statement); })
            && cache.exec("INSERT INTO telemetry VALUES ('theirs', 1, 1, '{}')");
    };
    if (fault == QLatin1String("overwritten")) {
        QTemporaryDir otherHome;
        const QByteArray home = qgetenv("XDG_CACHE_HOME");
        qputenv("XDG_CACHE_HOME", QFile::encodeName(otherHome.path()));
        QVERIFY(otherProcessStarts());
        const QString other = getCacheDataBaseLocation();
        qputenv("XDG_CACHE_HOME", home);
        QCOMPARE(std::rename(QFile::encodeName(other), QFile::encodeName(location)), 0);
    } else {
        QVERIFY(fault == QLatin1String("deleted") ? QFile::remove(location)
                                                  : QFile::resize(location, 0));
        QVERIFY(otherProcessStarts());
    }
    QVERIFY(road.record(3));
    lock->closeWriteChannel();
    QVERIFY(lock->waitForFinished());
    QVERIFY(road.record(1));

    QTRY_COMPARE_WITH_TIMEOUT(rowsPerDestination(),
                              (QMap<QString, int> { { "ours", 4 }, { "theirs", 1 } }), 15000);
    QVERIFY(road.record(0));
    QCOMPARE(road.log,
             QByteArrayList { "warning: Cache database was deleted, replaced or emptied; "
                              "reopening it" });
}

void TestDataCollector::cacheBoundDropsTheOldest()
{
    m_collector->initialize();
    m_collector->setMaxCachedRecords(5);
    for (int i = 0; i < 8; ++i)
        m_collector->collect(QString::number(i), i, 1, QStringLiteral("{}"));
    m_collector->flush();
    QStringList ids;
    QStringList records;
    QVERIFY(m_collector->getCacheByStorageId(1, ids, records));
    QCOMPARE(ids, QStringList({ "3", "4", "5", "6", "7" }));
    QCOMPARE(
        m_messages->count(QtWarningMsg,
                          QStringLiteral("Cache bound reached, dropped the oldest records: 3")),
        1);
}

void TestDataCollector::queueIsWrittenAtExit()
{
    // The helper quits long before its first flush.
    runHelper({ QStringLiteral("collect-exit"), QStringLiteral("1000"), QStringLiteral("0"),
                QStringLiteral("pool-first") });
    m_collector->initialize();
    QCOMPARE(m_collector->getCachedElementsCount(), 1000);
}

void TestDataCollector::startingDisabledCreatesNoFile()
{
    const QByteArray output = runHelper({ QStringLiteral("start-disabled") });
    QVERIFY2(output.contains("no-file"), output.constData());
    m_collector->initialize();
    QCOMPARE(m_collector->getCachedElementsCount(), 2);
}

void TestDataCollector::purgeByBucketKeepsOtherDestinations()
{
    currentBackends()->initialize();
    CouchDBBucket purged;
    purged.setServer(QUrl(QStringLiteral("http://127.0.0.1:9")));
    purged.setDatabase(QStringLiteral("purged"));
    CouchDBBucket kept;
    kept.setServer(purged.server());
    kept.setDatabase(QStringLiteral("kept"));
    const int purgedId
        = currentBackends()->getStorageID(purged.storageBackend(), purged.storageLocationInfo());
    const int keptId
        = currentBackends()->getStorageID(kept.storageBackend(), kept.storageLocationInfo());
    m_collector->initialize();
    collect({ { "a", 1, purgedId, "{}" }, { "b", 2, keptId, "{}" } });
    m_collector->flush();
    collect({ { "c", 3, purgedId, "{}" } });
    QVERIFY(m_collector->purgeDestination(purged));
    QCOMPARE(m_collector->getQueuedElementsCount(), 0);
    QStringList ids;
    QStringList records;
    QVERIFY(m_collector->getCacheByStorageId(keptId, ids, records));
    QVERIFY(m_collector->getCacheByStorageId(purgedId, ids, records));
    QCOMPARE(ids, QStringList({ "b" }));
}

KORVEL_TEST_MAIN(TestDataCollector)
#include "tst_datacollector.moc"
