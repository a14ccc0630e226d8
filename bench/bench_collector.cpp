// Measures the local cache against baselines taken in the same run:
//   collect() per row, alone and while flushes run on another thread;
//   flush() throughput against the raw SQLite C API on the same rows and schema;
//   getCacheByStorageId() on 10 000 and 1 000 000 cached rows.
// Run from a build directory: bench/bench_collector [rows-for-flush]
#include "telemetry/cache/datacollector.h"
#include "telemetry/runtime/runtime.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMutex>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QThread>
#include <QVector>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

using namespace kl::telemetry;

namespace {

struct Row
{
    QString id;
    qint64 timestamp;
    int storageId;
    QString record;
};

// About 200 bytes of JSON, like a record with a handful of properties.
QVector<Row> makeRows(int count, int storages)
{
    QVector<Row> rows;
    rows.reserve(count);
    const qint64 start = 1700000000000;
    for (int i = 0; i < count; ++i) {
        const QString id = generateUniqueId();
        const QString record
            = QStringLiteral("{\"_id\":\"%1\",\"timestamp\":%2,\"type\":\"bench.metric\","
                             "\"application\":\"KorvelBench\",\"value\":%3,"
                             "\"ok\":true,\"tags\":[\"alpha\",\"beta\",\"gamma\"],"
                             "\"note\":\"a fixed text to reach two hundred\"}")
                  .arg(id)
                  .arg(start + i)
                  .arg(i);
        rows.append({ id, start + i, 1 + i % storages, record });
    }
    return rows;
}

double seconds(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e9;
}

template<typename F>
double bestOf(int runs, F &&run)
{
    double best = 1e99;
    for (int i = 0; i < runs; ++i)
        best = std::min(best, run());
    return best;
}

// A collector on a fresh cache file; its cycle never runs, since nothing here spins an
// event loop, so every flush is one the benchmark calls itself.
class Cache
{
public:
    explicit Cache(const QString &name)
    {
        qputenv("XDG_CACHE_HOME", QFile::encodeName(m_dir.filePath(name)));
        m_collector->initialize();
    }
    ~Cache()
    {
        m_collector.reset();
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    }
    DataCollector &collector() { return *m_collector; }

    void fill(const QVector<Row> &rows)
    {
        for (const Row &row : rows)
            m_collector->collect(row.id, row.timestamp, row.storageId, row.record);
    }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<DataCollector> m_collector = std::make_unique<DataCollector>();
};

double collectSeconds(DataCollector &collector, const QVector<Row> &rows, qint64 *worstNs = nullptr)
{
    QElapsedTimer total;
    total.start();
    QElapsedTimer call;
    for (const Row &row : rows) {
        if (worstNs)
            call.start();
        collector.collect(row.id, row.timestamp, row.storageId, row.record);
        if (worstNs)
            *worstNs = std::max(*worstNs, call.nsecsElapsed());
    }
    return seconds(total);
}

// The least a queue can do: the same row appended to a vector under a mutex.
double plainQueueSeconds(const QVector<Row> &rows)
{
    QMutex mutex;
    QVector<QList<QVariant>> queue;
    QElapsedTimer timer;
    timer.start();
    for (const Row &row : rows) {
        QList<QVariant> item { row.id, row.timestamp, row.storageId, row.record };
        QMutexLocker locker(&mutex);
        queue.append(std::move(item));
    }
    return seconds(timer);
}

double flushSeconds(const QVector<Row> &rows)
{
    Cache cache(QStringLiteral("flush"));
    cache.fill(rows);
    QElapsedTimer timer;
    timer.start();
    cache.collector().flush();
    const double elapsed = seconds(timer);
    if (cache.collector().getCachedElementsCount() != rows.size())
        qFatal("flush wrote %d of %d rows", cache.collector().getCachedElementsCount(),
               int(rows.size()));
    return elapsed;
}

bool check(int rc, sqlite3 *db)
{
    if (rc == SQLITE_OK || rc == SQLITE_DONE)
        return true;
    qFatal("sqlite: %s", sqlite3_errmsg(db));
    return false;
}

// The same schema and rows through the C API: one prepared statement, one transaction.
double rawSqliteSeconds(const QVector<Row> &rows)
{
    QTemporaryDir dir;
    sqlite3 *db = nullptr;
    check(sqlite3_open(QFile::encodeName(dir.filePath(QStringLiteral("raw.db"))).constData(), &db),
          db);
    check(sqlite3_exec(
              db,
              "CREATE TABLE telemetry(id BLOB NOT NULL PRIMARY KEY, timestamp INTEGER NOT NULL, "
              "storageID INTEGER NOT NULL, recordData TEXT NOT NULL);"
              "CREATE INDEX time_index ON telemetry(timestamp)",
              nullptr, nullptr, nullptr),
          db);
    QElapsedTimer timer;
    timer.start();
    sqlite3_stmt *insert = nullptr;
    check(sqlite3_prepare_v2(db,
                             "INSERT INTO telemetry (id, timestamp, storageID, recordData) "
                             "VALUES (?, ?, ?, ?)",
                             -1, &insert, nullptr),
          db);
    check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
    for (const Row &row : rows) {
        sqlite3_bind_text16(insert, 1, row.id.utf16(), row.id.size() * 2, SQLITE_STATIC);
        sqlite3_bind_int64(insert, 2, row.timestamp);
        sqlite3_bind_int(insert, 3, row.storageId);
        sqlite3_bind_text16(insert, 4, row.record.utf16(), row.record.size() * 2, SQLITE_STATIC);
        check(sqlite3_step(insert), db);
        sqlite3_reset(insert);
    }
    check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
    sqlite3_finalize(insert);
    const double elapsed = seconds(timer);
    sqlite3_close(db);
    return elapsed;
}

void benchmarkCollect()
{
    const QVector<Row> rows = makeRows(200000, 10);
    const double plain = bestOf(3, [&] { return plainQueueSeconds(rows); });
    const double alone = bestOf(3, [&] {
        Cache cache(QStringLiteral("collect"));
        return collectSeconds(cache.collector(), rows);
    });

    // Flushes of 20 000 rows each run back to back on another thread while this one collects.
    Cache cache(QStringLiteral("concurrent"));
    const QVector<Row> background = makeRows(20000, 10);
    std::atomic<bool> stop { false };
    std::atomic<int> flushes { 0 };
    std::atomic<qint64> flushNs { 0 };
    std::thread flusher([&] {
        while (!stop) {
            cache.fill(background);
            QElapsedTimer timer;
            timer.start();
            cache.collector().flush();
            flushNs += timer.nsecsElapsed();
            ++flushes;
            cache.collector().clearCache();
        }
    });
    while (flushes == 0)
        QThread::msleep(1);
    qint64 worstNs = 0;
    const double concurrent = collectSeconds(cache.collector(), rows, &worstNs);
    stop = true;
    flusher.join();

    const double perRow = 1e9 / rows.size();
    std::printf("\ncollect(), %d rows\n", int(rows.size()));
    std::printf("| case | ns per row | vs. plain queue |\n|---|---|---|\n");
    std::printf("| plain QVector under a QMutex (baseline) | %.0f | 1.00 |\n", plain * perRow);
    std::printf("| collect() | %.0f | %.2f |\n", alone * perRow, alone / plain);
    std::printf("| collect() during back-to-back flushes | %.0f | %.2f |\n", concurrent * perRow,
                concurrent / plain);
    std::printf(
        "slowest single collect() during flushes: %.3f ms; mean flush: %.1f ms (%d flushes)\n",
        worstNs / 1e6, flushNs / 1e6 / flushes, int(flushes));
}

void benchmarkFlush(int count)
{
    const QVector<Row> rows = makeRows(count, 10);
    const double raw = bestOf(3, [&] { return rawSqliteSeconds(rows); });
    const double flush = bestOf(3, [&] { return flushSeconds(rows); });
    std::printf("\nflush() of %d rows (best of 3)\n", count);
    std::printf("| writer | rows per second | vs. raw |\n|---|---|---|\n");
    std::printf("| raw SQLite C API (baseline) | %.0f | 1.00 |\n", count / raw);
    std::printf("| DataCollector::flush() | %.0f | %.2f |\n", count / flush, raw / flush);
}

double readMicroseconds(DataCollector &collector, int storageId)
{
    constexpr int calls = 200;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < calls; ++i) {
        QStringList ids, records;
        collector.getCacheByStorageId(storageId, ids, records);
        if (ids.size() != 25)
            qFatal("read %d rows", int(ids.size()));
    }
    return timer.nsecsElapsed() / 1e3 / calls;
}

void benchmarkRead()
{
    std::printf("\ngetCacheByStorageId(), 25 rows per call, warm\n");
    std::printf(
        "| cached rows | interleaved destination, us | newest destination, us |\n|---|---|---|\n");
    double first[2] = {};
    for (int size : { 10000, 1000000 }) {
        // Ten destinations, rows interleaved in time; destination 10 also has the newest rows.
        Cache cache(QStringLiteral("read%1").arg(size));
        QVector<Row> rows = makeRows(size, 9);
        for (Row &row : makeRows(size / 10, 1)) {
            row.storageId = 10;
            row.timestamp += size;
            rows.append(row);
        }
        cache.fill(rows);
        cache.collector().flush();
        // Right after a large write the first reads are much slower; measure warm reads.
        readMicroseconds(cache.collector(), 3);
        const double interleaved = readMicroseconds(cache.collector(), 3);
        const double newest = readMicroseconds(cache.collector(), 10);
        std::printf("| %d | %.1f | %.1f |\n", size, interleaved, newest);
        if (!first[0]) {
            first[0] = interleaved;
            first[1] = newest;
        } else {
            std::printf("| ratio 1 000 000 / 10 000 | %.2f | %.2f |\n", interleaved / first[0],
                        newest / first[1]);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir ipc;
    qputenv("TMPDIR", QFile::encodeName(ipc.path()));
    const int flushRows = argc > 1 ? QByteArray(argv[1]).toInt() : 100000;

    benchmarkCollect();
    benchmarkFlush(flushRows);
    benchmarkRead();
    return 0;
}
