#include "telemetry/cache/datacollector.h"
#include "telemetry/runtime/runtime.h"

#include "testsupport.h"

#include <QRandomGenerator>
#include <QSqlQuery>

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
    void refusedBatchIsRequeuedBehindNewRows();
    void tablesAreLeftToTheHolderOfTheDatabaseLock();
    void queriesReadOldestFirstAndDelete();
    void unopenableCache();
    void brokenTable();
    void exitWhileFlushingNeverCrashes();

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

void TestDataCollector::refusedBatchIsRequeuedBehindNewRows()
{
    m_collector->initialize();
    CacheConnection other;
    // Holding the write lock makes a flush's insert wait for SQLite's busy time-out, then fail.
    QVERIFY(other.exec(QStringLiteral("BEGIN IMMEDIATE")));
    const QVector<CachedRow> batch { makeRow(20, 1), makeRow(21, 2), makeRow(22, 1) };
    collect(batch);
    std::thread flushing([this] { m_collector->flush(); });
    QTRY_COMPARE(m_collector->getQueuedElementsCount(), 0);
    const QVector<CachedRow> meanwhile { makeRow(30, 1), makeRow(31, 1) };
    collect(meanwhile);
    flushing.join();
    const QStringList messages = m_messages->all();
    QVERIFY(!messages.isEmpty());
    QCOMPARE(messages.count("critical: local cache update failed"), messages.size());
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
    m_collector->collect("a", 1, 1, "{}");
    m_collector->flush();
    QCOMPARE(m_collector->getQueuedElementsCount(), 1);
    QCOMPARE(ids + records, QStringList { "a" });
    const QString aborted = "operation aborted, because connection to database is closed.";
    QCOMPARE(
        m_messages->all(),
        (QStringList { "critical: Connection to database failed",
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

KORVEL_TEST_MAIN(TestDataCollector)
#include "tst_datacollector.moc"
