// The rows that stay inside one process: record(), the queue's memory, collect(), flush()
// against the raw SQLite C API, and the oldest-first read on small and large caches.
#include "performance.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/facts/contextrecorder.h"
#include "telemetry/facts/factsource.h"
#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/recording/recorder.h"
#include "telemetry/runtime/cachefile_p.h"
#include "telemetry/runtime/runtime.h"

#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QMutex>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QVector>

#include <malloc.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

using namespace kl::telemetry;

namespace korvelbench {

namespace {

class FiveProperties : public Recorder
{
    Q_OBJECT
    Q_PROPERTY(QString screen MEMBER m_screen)
    Q_PROPERTY(QString action MEMBER m_action)
    Q_PROPERTY(int count MEMBER m_count)
    Q_PROPERTY(double durationMs MEMBER m_durationMs)
    Q_PROPERTY(bool success MEMBER m_success)

public:
    QString m_screen = QStringLiteral("settings");
    QString m_action = QStringLiteral("save");
    int m_count = 3;
    double m_durationMs = 12.5;
    bool m_success = true;
};

// The facts of a built-in source, as a context record carries them.
QVariantMap builtInFacts(const QString &id)
{
    for (const auto &source : FactSource::builtInSources()) {
        if (source->id() == id)
            return source->value().toVariantMap();
    }
    return {};
}

// The members of a context record, as a host would declare them itself.
class FactsAsProperties : public Recorder
{
    Q_OBJECT
    Q_PROPERTY(QVariantMap application MEMBER m_application)
    Q_PROPERTY(QVariantMap platform MEMBER m_platform)
    Q_PROPERTY(QVariantMap qt MEMBER m_qt)
    Q_PROPERTY(QVariantMap locale MEMBER m_locale)

public:
    QVariantMap m_application = builtInFacts(QStringLiteral("application"));
    QVariantMap m_platform = builtInFacts(QStringLiteral("platform"));
    QVariantMap m_qt = builtInFacts(QStringLiteral("qt"));
    QVariantMap m_locale = builtInFacts(QStringLiteral("locale"));
};

// The same members, built the plainest way Qt offers.
QByteArray baselineDocument(const FiveProperties &recorder, const QString &id, qint64 timestamp)
{
    const QVariantMap members { { QStringLiteral("_id"), id },
                                { QStringLiteral("timestamp"), timestamp },
                                { QStringLiteral("type"), recorder.type() },
                                { QStringLiteral("screen"), recorder.m_screen },
                                { QStringLiteral("action"), recorder.m_action },
                                { QStringLiteral("count"), recorder.m_count },
                                { QStringLiteral("durationMs"), recorder.m_durationMs },
                                { QStringLiteral("success"), recorder.m_success } };
    return QJsonDocument::fromVariant(members).toJson(QJsonDocument::Compact);
}

template<typename F>
double nsPerCall(int calls, F &&call)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < calls; ++i)
        call();
    const double ns = double(timer.nsecsElapsed()) / calls;
    currentDataCollector()->clearQueue();
    return ns;
}

// The document record() placed, read back from the cache.
QByteArray placedDocument()
{
    currentDataCollector()->flush();
    QSqlQuery query(QSqlDatabase::database(kRegistryConnectionName));
    query.exec(QStringLiteral("SELECT recordData FROM telemetry"));
    return query.next() ? query.value(0).toString().toUtf8() : QByteArray();
}

struct Row
{
    QString id;
    QByteArray utf8Id; // for the raw baseline, which binds UTF-8 text
    qint64 timestamp;
    int storageId;
    QByteArray record;
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
        QByteArray document = record.toUtf8();
        document.squeeze(); // as the queue keeps it
        rows.append({ id, id.toUtf8(), start + i, 1 + i % storages, document });
    }
    return rows;
}

// A collector of its own on a fresh cache file. Its cycle never runs, since nothing here
// spins an event loop: every flush is one the benchmark calls.
class Cache
{
public:
    explicit Cache(const QString &name)
    {
        qputenv("XDG_CACHE_HOME", QFile::encodeName(m_dir.filePath(name)));
        // The rows fill queues past the bound that guards against a lock held elsewhere.
        m_collector->setMaxQueuedRecords(0);
        m_collector->initialize();
    }
    ~Cache()
    {
        m_collector.reset();
        QSqlDatabase::removeDatabase(kCacheConnectionName);
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

qint64 median(std::vector<qint64> values)
{
    const auto middle = values.begin() + values.size() / 2;
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Per call, from the median of 20 runs of consecutive calls: a run that another process
// preempted says nothing about the calls.
template<typename F>
double medianCallNs(const QVector<Row> &rows, F &&append)
{
    constexpr int runs = 20;
    const int perRun = rows.size() / runs;
    std::vector<qint64> runNs;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        for (int i = run * perRun; i < (run + 1) * perRun; ++i)
            append(rows.at(i));
        runNs.push_back(timer.nsecsElapsed());
    }
    return double(median(runNs)) / perRun;
}

double collectNs(DataCollector &collector, const QVector<Row> &rows)
{
    return medianCallNs(rows, [&](const Row &row) {
        collector.collect(row.id, row.timestamp, row.storageId, row.record);
    });
}

// Timing every call costs about as much as a call, so this is a pass of its own.
double slowestCollectNs(DataCollector &collector, const QVector<Row> &rows)
{
    qint64 slowest = 0;
    for (const Row &row : rows) {
        QElapsedTimer call;
        call.start();
        collector.collect(row.id, row.timestamp, row.storageId, row.record);
        slowest = std::max(slowest, call.nsecsElapsed());
    }
    return slowest;
}

struct PlainItem
{
    QString id;
    qint64 timestamp;
    int storageId;
    QByteArray record;
};

} // namespace
} // namespace korvelbench

Q_DECLARE_TYPEINFO(korvelbench::PlainItem, Q_MOVABLE_TYPE);

namespace korvelbench {
namespace {

// The least a queue can do: the same values appended to a vector under a mutex.
double plainQueueNs(const QVector<Row> &rows)
{
    QMutex mutex;
    QVector<PlainItem> queue;
    return medianCallNs(rows, [&](const Row &row) {
        PlainItem item { row.id, row.timestamp, row.storageId, row.record };
        QMutexLocker locker(&mutex);
        queue.append(std::move(item));
    });
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
        fail(QStringLiteral("flush wrote %1 of %2 rows")
                 .arg(cache.collector().getCachedElementsCount())
                 .arg(rows.size()));
    return elapsed;
}

bool check(int rc, sqlite3 *db)
{
    if (rc == SQLITE_OK || rc == SQLITE_DONE)
        return true;
    qFatal("sqlite: %s", sqlite3_errmsg(db));
    return false;
}

// The same schema, indexes and rows through the C API: one prepared statement, one
// transaction, UTF-8 text.
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
              "CREATE INDEX time_index ON telemetry(timestamp);"
              "CREATE INDEX storage_time_index ON telemetry(storageID, timestamp)",
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
        sqlite3_bind_text(insert, 1, row.utf8Id.constData(), row.utf8Id.size(), SQLITE_STATIC);
        sqlite3_bind_int64(insert, 2, row.timestamp);
        sqlite3_bind_int(insert, 3, row.storageId);
        sqlite3_bind_text(insert, 4, row.record.constData(), row.record.size(), SQLITE_STATIC);
        check(sqlite3_step(insert), db);
        sqlite3_reset(insert);
    }
    check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
    sqlite3_finalize(insert);
    const double elapsed = seconds(timer);
    sqlite3_close(db);
    return elapsed;
}

// Median of up to 200 calls, fewer when they take more than about a second together: a call
// that another process preempted says nothing about the read.
double readMicroseconds(DataCollector &collector, int storageId)
{
    QElapsedTimer total;
    total.start();
    std::vector<qint64> callNs;
    while (callNs.size() < 200 && (callNs.size() < 3 || total.elapsed() < 1000)) {
        QElapsedTimer call;
        call.start();
        QStringList ids, records;
        collector.getCacheByStorageId(storageId, ids, records);
        callNs.push_back(call.nsecsElapsed());
        if (ids.size() != 25)
            fail(QStringLiteral("getCacheByStorageId() read %1 rows, not 25").arg(ids.size()));
    }
    return median(callNs) / 1e3;
}

// The best of five turns of @p calls calls of each of @p measured and @p baseline, in ns, taken
// in turns so that a change in the machine's load meets both alike.
template<typename F, typename G>
std::pair<double, double> bestOfTurns(int calls, F &&measured, G &&baseline)
{
    double measuredNs = 1e99, baselineNs = 1e99;
    for (int run = 0; run < 5; ++run) {
        measuredNs = std::min(measuredNs, nsPerCall(calls, measured));
        baselineNs = std::min(baselineNs, nsPerCall(calls, baseline));
    }
    return { measuredNs, baselineNs };
}

// A context record against a record of the same facts that the host declared as properties.
void benchContextRecord(CouchDBBucket &bucket)
{
    ContextRecorder context;
    FactsAsProperties declared;
    for (Recorder *recorder : std::initializer_list<Recorder *> { &context, &declared }) {
        recorder->setType(QStringLiteral("korvel.context"));
        recorder->setBucket(&bucket);
    }
    const auto [contextNs, declaredNs] = bestOfTurns(
        20000, [&] { context.record(); }, [&] { declared.record(); });
    report(QStringLiteral("`ContextRecorder::record()`, the steady built-in sources"),
           microseconds(contextNs),
           microseconds(declaredNs)
               + QStringLiteral(": `record()` of the same facts declared as properties"),
           contextNs / declaredNs);
}

// The same recorder into a bucket that attaches two facts, and into one that attaches none.
void benchAttachedFacts(Recorder &recorder, CouchDBBucket &plain)
{
    CouchDBBucket attaching;
    attaching.setServer(plain.server());
    attaching.setDatabase(plain.database());
    attaching.setFacts({ QStringLiteral("application.version"), QStringLiteral("platform.os") });
    const auto [attachedNs, plainNs] = bestOfTurns(
        100000,
        [&] {
            recorder.setBucket(&attaching);
            recorder.record();
        },
        [&] {
            recorder.setBucket(&plain);
            recorder.record();
        });
    report(QStringLiteral("`record()` into a bucket that attaches two facts"),
           microseconds(attachedNs), microseconds(plainNs) + QStringLiteral(": into one without"),
           attachedNs / plainNs);
}

} // namespace

std::unique_ptr<Recorder> newFivePropertyRecorder()
{
    return std::make_unique<FiveProperties>();
}

void benchRecord()
{
    CouchDBBucket bucket;
    bucket.setServer(QUrl(QStringLiteral("http://127.0.0.1:5984")));
    bucket.setDatabase(QStringLiteral("bench"));
    FiveProperties recorder; // starts the library; without an event loop nothing is flushed
    recorder.setType(QStringLiteral("ui.action"));
    recorder.setBucket(&bucket);

    // The document must be the one Qt's own conversion gives.
    recorder.record();
    const QByteArray document = placedDocument();
    const QJsonObject placed = QJsonDocument::fromJson(document).object();
    const QByteArray expected
        = baselineDocument(recorder, placed.value(QLatin1String("_id")).toString(),
                           qint64(placed.value(QLatin1String("timestamp")).toDouble()));
    const bool identical = !expected.isEmpty() && document == expected;
    if (!identical)
        fail(QStringLiteral("record() placed %1, Qt's conversion gives %2")
                 .arg(QString::fromUtf8(document), QString::fromUtf8(expected)));

    // Turns about, so that a change in the machine's load meets both alike.
    constexpr int calls = 100000;
    double baseline = 1e99, record = 1e99, filtered = 1e99;
    for (int run = 0; run < 5; ++run) {
        baseline = std::min(baseline, nsPerCall(calls, [&] {
                                baselineDocument(recorder, generateUniqueId(),
                                                 QDateTime::currentMSecsSinceEpoch());
                            }));
        record = std::min(record, nsPerCall(calls, [&] { recorder.record(); }));
        TelemetryPolicy::setRecordFilter([](QJsonObject &) { return true; });
        filtered = std::min(filtered, nsPerCall(calls, [&] { recorder.record(); }));
        TelemetryPolicy::setRecordFilter({});
    }
    report(QStringLiteral("`record()` on a Recorder with five properties, document queued "
                          "(byte-identical to Qt's conversion: %1)")
               .arg(identical ? QStringLiteral("yes") : QStringLiteral("NO")),
           microseconds(record),
           microseconds(baseline)
               + QStringLiteral(": `QVariantMap` to compact JSON, same id and clock calls"),
           record / baseline);
    report(QStringLiteral("`record()` with a record filter that keeps every record as it is"),
           microseconds(filtered), microseconds(record) + QStringLiteral(": without a filter"),
           filtered / record);
    benchContextRecord(bucket);
    benchAttachedFacts(recorder, bucket);
}

void benchMemory()
{
    // 200 bytes of JSON, each record with a text of its own, as in real use.
    constexpr int records = 100000;
    constexpr int jsonBytes = 200;
    const QString padding = QStringLiteral("{\"type\":\"bench.memory\",\"note\":\"")
                                .leftJustified(jsonBytes - 10, QLatin1Char('x'));
    currentDataCollector()->setMaxQueuedRecords(0);
    const size_t before = mallinfo2().uordblks;
    for (int i = 0; i < records; ++i)
        currentDataCollector()->collect(
            generateUniqueId(), i, 1,
            padding
                + QStringLiteral("%1\"}").arg(i, jsonBytes - padding.size() - 2, 10,
                                              QLatin1Char('0')));
    const double perRecord = double(mallinfo2().uordblks - before) / records;
    if (currentDataCollector()->getQueuedElementsCount() != records)
        fail(QStringLiteral("the queue holds %1 records, not %2")
                 .arg(currentDataCollector()->getQueuedElementsCount())
                 .arg(records));
    constexpr int text = 16 + jsonBytes;
    report(QStringLiteral("memory per queued record, 100 000 records of 200 bytes of JSON"),
           QStringLiteral("%1 bytes").arg(perRecord, 0, 'f', 0),
           QStringLiteral("%1 bytes: the UTF-8 text of its id and document").arg(text),
           perRecord / text);
}

struct Flushing
{
    qint64 ns = 0;
    int count = 0;
};

// Flushes of 20 000 rows each run back to back on another thread while this one collects.
template<typename F>
double whileFlushing(const QVector<Row> &background, Flushing &flushing, F &&measure)
{
    Cache cache(QStringLiteral("concurrent"));
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
    const double result = measure(cache.collector());
    stop = true;
    flusher.join();
    flushing.ns += flushNs;
    flushing.count += flushes;
    return result;
}

void benchCollect()
{
    const QVector<Row> rows = makeRows(200000, 10);
    const QVector<Row> background = makeRows(20000, 10);
    // Turns about, so that a change in the machine's load meets all three alike.
    double plain = 1e99, alone = 1e99, concurrent = 1e99;
    Flushing flushing;
    for (int run = 0; run < 5; ++run) {
        // The flusher of the last turn released the rows on the other core; touch them here
        // first, or the baseline pays for bringing them back.
        plainQueueNs(rows);
        plain = std::min(plain, plainQueueNs(rows));
        {
            Cache cache(QStringLiteral("collect"));
            alone = std::min(alone, collectNs(cache.collector(), rows));
        }
        concurrent = std::min(concurrent,
                              whileFlushing(background, flushing,
                                            [&](DataCollector &c) { return collectNs(c, rows); }));
    }
    const double slowest = whileFlushing(
        background, flushing, [&](DataCollector &c) { return slowestCollectNs(c, rows); });

    const QString baseline
        = QStringLiteral("%1 ns: a `QVector` append under a `QMutex`").arg(plain, 0, 'f', 0);
    report(QStringLiteral("`collect()` per row, best of 5"),
           QStringLiteral("%1 ns").arg(alone, 0, 'f', 0), baseline, alone / plain);
    report(QStringLiteral("`collect()` per row while flushes of 20 000 rows run back to back, "
                          "best of 5"),
           QStringLiteral("%1 ns (slowest call %2 ms, a flush %3 ms)")
               .arg(concurrent, 0, 'f', 0)
               .arg(slowest / 1e6, 0, 'f', 2)
               .arg(flushing.ns / 1e6 / flushing.count, 0, 'f', 0),
           baseline, concurrent / plain);
}

void benchOutage();

void benchFlush()
{
    constexpr int count = 100000;
    const QVector<Row> rows = makeRows(count, 10);
    // Turns about, so that a change in the machine's load meets both alike.
    double raw = 1e99, flush = 1e99;
    for (int run = 0; run < 5; ++run) {
        raw = std::min(raw, rawSqliteSeconds(rows));
        flush = std::min(flush, flushSeconds(rows));
    }
    report(QStringLiteral("`flush()` of 100 000 rows, best of 5"),
           QStringLiteral("%1 rows/s").arg(thousands(count / flush)),
           QStringLiteral("%1 rows/s: raw SQLite C API, one prepared statement, one "
                          "transaction, UTF-8 text (both with the two indexes)")
               .arg(thousands(count / raw)),
           raw / flush);
    benchOutage();
}

// A ten-minute outage at 50 records/s, compressed: 600 flushes of 50 rows each, as the flush
// cycle makes them, into a cache bounded at 10 000 rows. Times the flushes before the bound
// and those after it, when each one counts and drops.
struct Outage
{
    int firstFullFlush = 0;
    int largest = 0;
    int last = 0;
    double belowMs = 0;
    double atBoundMs = 0;
};

Outage outage(int bound)
{
    constexpr int flushes = 600;
    constexpr int perFlush = 50;
    Cache cache(QStringLiteral("outage"));
    cache.collector().setMaxCachedRecords(bound);
    const QVector<Row> rows = makeRows(flushes * perFlush, 1);
    Outage result;
    qint64 belowNs = 0, atBoundNs = 0;
    for (int flush = 0; flush < flushes; ++flush) {
        for (int i = flush * perFlush; i < (flush + 1) * perFlush; ++i)
            cache.collector().collect(rows.at(i).id, rows.at(i).timestamp, rows.at(i).storageId,
                                      rows.at(i).record);
        QElapsedTimer timer;
        timer.start();
        cache.collector().flush();
        const qint64 ns = timer.nsecsElapsed();
        result.last = cache.collector().getCachedElementsCount();
        result.largest = std::max(result.largest, result.last);
        if (result.last < bound || (flush + 1) * perFlush <= bound) {
            belowNs += ns;
        } else {
            atBoundNs += ns;
            if (!result.firstFullFlush)
                result.firstFullFlush = flush + 1;
        }
    }
    const int full = result.firstFullFlush ? flushes - result.firstFullFlush + 1 : 0;
    result.belowMs = belowNs / 1e6 / (flushes - full);
    result.atBoundMs = full ? atBoundNs / 1e6 / full : 0;
    return result;
}

void benchOutage()
{
    constexpr int bound = 10000;
    QLoggingCategory::setFilterRules(QStringLiteral("korvel.telemetry.warning=false"));
    const Outage run = outage(bound);
    QLoggingCategory::setFilterRules(QString());
    if (run.largest != bound || run.last != bound)
        fail(QStringLiteral("the bound of %1 rows was not held: largest %2, last %3")
                 .arg(bound)
                 .arg(run.largest)
                 .arg(run.last));
    report(QStringLiteral("`flush()` of 50 rows into a cache at its bound of 10 000 rows, mean "
                          "(outage of 600 flushes, bound reached at flush %1 and held)")
               .arg(run.firstFullFlush),
           QStringLiteral("%1 ms").arg(run.atBoundMs, 0, 'f', 2),
           QStringLiteral("%1 ms below the bound").arg(run.belowMs, 0, 'f', 2),
           run.atBoundMs / run.belowMs);
}

void benchRead()
{
    double interleaved[2] = {};
    double newest[2] = {};
    const int sizes[2] = { 10000, 1000000 };
    std::unique_ptr<Cache> kept; // the last, largest cache serves one more read below
    for (int i = 0; i < 2; ++i) {
        // Ten destinations, rows interleaved in time; destination 10 also has the newest rows.
        kept.reset();
        kept = std::make_unique<Cache>(QStringLiteral("read%1").arg(sizes[i]));
        Cache &cache = *kept;
        // The default bound would drop all but the newest 100 000 rows.
        cache.collector().setMaxCachedRecords(0);
        QVector<Row> rows = makeRows(sizes[i], 9);
        for (Row &row : makeRows(sizes[i] / 10, 1)) {
            row.storageId = 10;
            row.timestamp += sizes[i];
            rows.append(row);
        }
        cache.fill(rows);
        rows.clear();
        cache.collector().flush();
        // Right after a large write the first reads are much slower; measure warm reads.
        readMicroseconds(cache.collector(), 3);
        interleaved[i] = bestOf(3, [&] { return readMicroseconds(cache.collector(), 3); });
        readMicroseconds(cache.collector(), 10);
        newest[i] = bestOf(3, [&] { return readMicroseconds(cache.collector(), 10); });
    }
    // The same read as on a cache made before the (storageID, timestamp) index existed.
    QSqlQuery(QSqlDatabase::database(kCacheConnectionName))
        .exec(QStringLiteral("DROP INDEX storage_time_index"));
    readMicroseconds(kept->collector(), 10);
    const double withoutIndex = bestOf(3, [&] { return readMicroseconds(kept->collector(), 10); });
    report(QStringLiteral("`getCacheByStorageId()`, 25 rows, 10 destinations interleaved in "
                          "time, median warm call"),
           QStringLiteral("%1 us at 1 000 000 rows").arg(interleaved[1], 0, 'f', 0),
           QStringLiteral("%1 us at 10 000 rows").arg(interleaved[0], 0, 'f', 0),
           interleaved[1] / interleaved[0]);
    report(QStringLiteral("`getCacheByStorageId()`, 25 rows of a destination whose rows are all "
                          "the newest, median warm call"),
           QStringLiteral("%1 us at 1 000 000 rows").arg(newest[1], 0, 'f', 0),
           QStringLiteral("%1 us at 10 000 rows").arg(newest[0], 0, 'f', 0), newest[1] / newest[0]);
    note(QStringLiteral("Without the (storageID, timestamp) index, as on a cache made before it "
                        "existed, the same read of the newest destination took %1 ms at "
                        "1 000 000 rows.")
             .arg(withoutIndex / 1e3, 0, 'f', 1));
}

} // namespace korvelbench

#include "localrows.moc"
