#include "telemetry/cache/datacollector.h"
#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/registry/backends.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleton.h"

#include "testsupport.h"

#include <QRandomGenerator>
#include <QSqlError>
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
QString describe(const QString &id, qint64 timestamp, int storageId, const QString &record,
                 const QString &idType)
{
    return QStringLiteral("%1 %2 %3 %4 %5")
        .arg(id)
        .arg(timestamp)
        .arg(storageId)
        .arg(record, idType);
}

QStringList describe(const QVector<CachedRow> &rows)
{
    QStringList lines;
    for (const CachedRow &row : rows)
        lines << describe(row.id, row.timestamp, row.storageId, row.record, QStringLiteral("text"));
    return lines;
}

// The cached rows in insertion order, as another SQLite client reads them.
QStringList cachedRows(const CacheConnection &connection)
{
    QSqlQuery query(connection.database());
    query.exec(QStringLiteral("SELECT id, timestamp, storageID, recordData, typeof(id) "
                              "FROM telemetry ORDER BY rowid"));
    QStringList rows;
    while (query.next())
        rows << describe(query.value(0).toString(), query.value(1).toLongLong(),
                         query.value(2).toInt(), query.value(3).toString(),
                         query.value(4).toString());
    return rows;
}

CachedRow makeRow(qint64 timestamp, int storageId)
{
    return { generateUniqueId(), timestamp, storageId,
             QStringLiteral("{\"n\":%1,\"s\":\"\u00e5\"}").arg(timestamp) };
}

using Operation = std::function<QVariant(DataCollector &)>;

} // namespace

Q_DECLARE_METATYPE(Operation)

class TestDataCollector : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void singletonIsSharedWithTheLibrary();
    void rowsReachTheTableInCollectionOrder();
    void commitMessageOnlyAtDebugLevel_data();
    void commitMessageOnlyAtDebugLevel();
    void lockHeldByAnotherProcessDefersWriting();
    void refusedBatchIsRequeuedBehindNewRows_data();
    void refusedBatchIsRequeuedBehindNewRows();
    void queriesReadOldestFirstAndDelete();
    void operationsOnClosedConnection_data();
    void operationsOnClosedConnection();
    void exitWhileFlushingNeverCrashes();
    void startingThreadDeletedNeverCrashes();
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
    QLoggingCategory::setFilterRules(QString());
}

void TestDataCollector::collect(const QVector<CachedRow> &rows)
{
    for (const CachedRow &row : rows)
        m_collector->collect(row.id, row.timestamp, row.storageId, row.record);
}

void TestDataCollector::singletonIsSharedWithTheLibrary()
{
    QCOMPARE(Singleton<DataCollector>::getInstance(), currentDataCollector());
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

void TestDataCollector::commitMessageOnlyAtDebugLevel_data()
{
    QTest::addColumn<bool>("debugEnabled");
    QTest::addRow("default threshold") << false;
    QTest::addRow("debug enabled") << true;
}

void TestDataCollector::commitMessageOnlyAtDebugLevel()
{
    QFETCH(bool, debugEnabled);
    if (debugEnabled)
        QLoggingCategory::setFilterRules(QStringLiteral("korvel.telemetry.debug=true"));
    m_collector->initialize();

    // A flush of an empty queue runs in full and says nothing.
    m_collector->flush();
    QCOMPARE(m_messages->all(), QStringList());

    collect({ makeRow(1, 1), makeRow(2, 1), makeRow(3, 2) });
    m_collector->flush();
    QCOMPARE(m_collector->getCachedElementsCount(), 3);
    const QStringList expected
        = debugEnabled ? QStringList { "debug: Commited 3 records to cache" } : QStringList();
    QCOMPARE(m_messages->all(), expected);
}

void TestDataCollector::lockHeldByAnotherProcessDefersWriting()
{
    auto holder = startHelper({ QStringLiteral("hold"), QString::fromLatin1(kMainLockName) });
    QCOMPARE(readHelperLine(*holder), QByteArray("held"));
    m_collector->initialize();
    const QVector<CachedRow> rows { makeRow(10, 1), makeRow(11, 1), makeRow(12, 1) };
    collect(rows);

    m_collector->flush();
    QCOMPARE(m_collector->getQueuedElementsCount(), rows.size());
    CacheConnection reader;
    QCOMPARE(cachedRows(reader), QStringList());

    holder->closeWriteChannel();
    QVERIFY(holder->waitForFinished());
    QTRY_COMPARE(cachedRows(reader), describe(rows));
    QCOMPARE(m_collector->getQueuedElementsCount(), 0);
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
    QCOMPARE(m_collector->getQueuedElementsCount(), 0);
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

    QStringList ids { QStringLiteral("kept") };
    QStringList records { QStringLiteral("kept") };
    QVERIFY(m_collector->getCacheByStorageId(7, ids, records));
    QCOMPARE(ids.size(), 26);
    QCOMPARE(ids.takeFirst(), QStringLiteral("kept"));
    QCOMPARE(records.takeFirst(), QStringLiteral("kept"));
    for (int i = 0; i < 25; ++i) {
        QCOMPARE(ids.at(i), ours.at(i).id);
        QCOMPARE(records.at(i), ours.at(i).record);
    }

    QVERIFY(m_collector->deleteByIds(ids));
    QCOMPARE(m_messages->count(QtWarningMsg, QStringLiteral("deleted:  25")), 1);
    QVERIFY(m_collector->deleteByIds({ QStringLiteral("absent"), QStringLiteral("missing") }));
    QCOMPARE(m_messages->count(QtWarningMsg, QStringLiteral("deleted:  2")), 1);
    QCOMPARE(ids.size(), 25);

    QStringList rest, restRecords;
    QVERIFY(m_collector->getCacheByStorageId(7, rest, restRecords));
    QCOMPARE(rest.size(), 5);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(rest.at(i), ours.at(25 + i).id);
    QStringList none, noRecords;
    QVERIFY(m_collector->getCacheByStorageId(99, none, noRecords));
    QVERIFY(none.isEmpty() && noRecords.isEmpty());

    QCOMPARE(m_collector->getCachedElementsCount(), 8);
    collect({ makeRow(4, 7) });
    m_collector->clearCache();
    QCOMPARE(m_collector->getCachedElementsCount(), 0);
    QCOMPARE(m_collector->getQueuedElementsCount(), 1);
    m_messages->clear();
    m_collector->flush();
    QCOMPARE(m_collector->getCachedElementsCount(), 1);
    QCOMPARE(m_messages->all(), QStringList());
}

void TestDataCollector::operationsOnClosedConnection_data()
{
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<QVariant>("result");
    QTest::addColumn<QString>("message");

    QTest::addRow("count") << Operation([](DataCollector &c) {
        return QVariant(c.getCachedElementsCount());
    }) << QVariant(0)
                           << "warning: getCacheElementCount operation aborted, because "
                              "connection to database is closed.";
    QTest::addRow("clear") << Operation([](DataCollector &c) {
        c.clearCache();
        return QVariant();
    }) << QVariant()
                           << "warning: clearCache operation aborted, because connection to "
                              "database is closed.";
    QTest::addRow("read") << Operation([](DataCollector &c) {
        QStringList ids { QStringLiteral("a") }, records { QStringLiteral("b") };
        const bool ok = c.getCacheByStorageId(1, ids, records);
        return QVariant(ok || ids.size() != 1 || records.size() != 1);
    }) << QVariant(false)
                          << "critical: getCacheByStorageId() aborted, connection to database "
                             "is closed.";
    QTest::addRow("delete") << Operation([](DataCollector &c) {
        return QVariant(c.deleteByIds({ QStringLiteral("a") }));
    }) << QVariant(false)
                            << "warning: deleteByIds operation aborted, because connection to "
                               "database is closed.";
    QTest::addRow("flush") << Operation([](DataCollector &c) {
        c.collect(QStringLiteral("a"), 1, 1, QStringLiteral("{}"));
        c.flush();
        return QVariant(c.getQueuedElementsCount());
    }) << QVariant(1) << "warning: Flush operation aborted, connection to database is closed.";
}

void TestDataCollector::operationsOnClosedConnection()
{
    QFETCH(Operation, operation);
    QFETCH(QVariant, result);
    QFETCH(QString, message);
    QCOMPARE(operation(*m_collector), result);
    QCOMPARE(m_messages->all(), QStringList { message });
}

void TestDataCollector::exitWhileFlushingNeverCrashes()
{
    // Exits land before, during and after the first flush of 20 000 rows, about 1000 ms in.
    auto *random = QRandomGenerator::global();
    for (int run = 0; run < 16; ++run) {
        const QString delay = QString::number(random->bounded(850, 1400));
        const QString order = run % 2 ? QStringLiteral("pool-last") : QStringLiteral("pool-first");
        auto helper = startHelper(
            { QStringLiteral("collect-exit"), QStringLiteral("20000"), delay, order });
        QVERIFY(helper->waitForFinished(30000));
        QVERIFY2(helper->exitStatus() == QProcess::NormalExit && helper->exitCode() == 0,
                 qPrintable(QStringLiteral("run %1 (%2 ms, %3) ended with status %4, code %5")
                                .arg(run)
                                .arg(delay, order)
                                .arg(helper->exitStatus())
                                .arg(helper->exitCode())));
    }
}

void TestDataCollector::startingThreadDeletedNeverCrashes()
{
    QCOMPARE(runHelper({ QStringLiteral("deleted-thread") }), QByteArray("survived"));
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
