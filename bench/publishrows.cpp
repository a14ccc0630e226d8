// The rows that talk to a CouchDB-compatible server: one batch's round trip, one process
// draining a backlog, a destination's turn among many idle ones, and four processes
// publishing from one shared cache at the real period.
#include "performance.h"
#include "workers.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/publishing/couchdbdocumentuploader.h"
#include "telemetry/publishing/networkmanager.h"
#include "telemetry/publishing/publisher.h"
#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/recording/recorder.h"
#include "telemetry/registry/backends.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"
#include "telemetry/runtime/singleton.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QVector>

#include <atomic>
#include <functional>
#include <optional>
#include <thread>
#include <utility>

#include <sys/resource.h>

using namespace kl::telemetry;

namespace korvelbench {

namespace {

constexpr int kWorkers = 4;
constexpr int kBatch = 25; // the most one publish attempt sends
constexpr int kBatchesOut = 4; // what the library keeps out while a backlog drains
// The first attempts come within two periods of the start; a backlog they find is drained.
constexpr int kWarmUpSeconds = 30;
constexpr int kFlushDelayMs = 1000; // the period of a process's flushes

// The uploaders' access manager, showing every request to an observer before anybody else
// connects to its reply.
class ObservedManager : public QNetworkAccessManager
{
public:
    using Observer = std::function<void(Operation, QNetworkReply *)>;
    explicit ObservedManager(Observer observer)
        : m_observer(std::move(observer))
    {
    }

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request,
                                 QIODevice *data) override
    {
        QNetworkReply *reply = QNetworkAccessManager::createRequest(operation, request, data);
        m_observer(operation, reply);
        return reply;
    }

private:
    Observer m_observer;
};

// ---- the round trip ----

QElapsedTimer g_clock;
qint64 g_replyEnded = 0;

QStringList batch()
{
    QStringList documents;
    for (int i = 0; i < kBatch; ++i)
        documents << QStringLiteral(
                         "{\"_id\":\"%1\",\"timestamp\":1700000000000,\"type\":\"bench.upload\","
                         "\"application\":\"KorvelBench\",\"value\":%2,\"ok\":true,"
                         "\"note\":\"a fixed text to reach about two hundred bytes\"}")
                         .arg(generateUniqueId())
                         .arg(i);
    return documents;
}

// ---- draining a backlog, and destinations with nothing to send ----

QString documentId(const QString &document)
{
    return QJsonDocument::fromJson(document.toUtf8())
        .object()
        .value(QLatin1String("_id"))
        .toString();
}

// Caches @p records for @p storageId, oldest first, later than anything cached before.
void cacheRecords(int storageId, const QStringList &records)
{
    static qint64 timestamp = 1700000000000;
    for (const QString &record : records)
        currentDataCollector()->collect(documentId(record), ++timestamp, storageId, record);
    currentDataCollector()->flush();
}

int registerDestination(const QString &server, const QString &database)
{
    CouchDBBucket bucket;
    bucket.setServer(QUrl(server));
    bucket.setDatabase(database);
    return currentBackends()->getStorageID(bucket.storageBackend(), bucket.storageLocationInfo());
}

QByteArray bulkDocsBody(const QStringList &documents)
{
    return " {\"docs\": [" + documents.join(QLatin1Char(',')).toUtf8() + "]}";
}

// The same through one kept-alive socket, each request written at once; records/s.
double postWithSocket(const QString &server, const QString &database, const QStringList &all)
{
    const QUrl url(server);
    QTcpSocket socket;
    socket.connectToHost(url.host(), quint16(url.port()));
    if (!socket.waitForConnected(10000))
        return 0;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < all.size(); i += kBatch) {
        const QByteArray body = bulkDocsBody(all.mid(i, kBatch));
        socket.write("POST /" + database.toUtf8()
                     + "/_bulk_docs HTTP/1.1\r\nHost: " + url.host().toUtf8()
                     + "\r\nContent-Type: application/json\r\nContent-Length: "
                     + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        QByteArray reply;
        for (;;) { // pouchdb-server answers with a Content-Length
            const int headerEnd = reply.indexOf("\r\n\r\n");
            if (headerEnd >= 0) {
                const QByteArray lower = reply.left(headerEnd).toLower();
                const int at = lower.indexOf("content-length:");
                const int length = at < 0
                    ? 0
                    : lower.mid(at + 15, lower.indexOf('\r', at) - at - 15).trimmed().toInt();
                if (reply.size() >= headerEnd + 4 + length)
                    break;
            }
            if (!socket.waitForReadyRead(10000))
                return 0;
            reply += socket.readAll();
        }
        if (!reply.startsWith("HTTP/1.1 201")) {
            fail(QStringLiteral("a raw post was answered with %1")
                     .arg(QString::fromUtf8(reply.left(12))));
            return 0;
        }
    }
    return all.size() / seconds(clock);
}

// One upload of the library's publisher, as its access manager saw it.
struct Post
{
    QString database;
    qint64 startedAt = 0;
    qint64 endedAt = 0; // 0 while in flight
    int documents = 0; // in the server's answer
};

// Noted on the publisher's thread, where they happen: a note costs it a lock, not a wake-up of
// the main thread, since the plain client it is measured against has no notes to take.
QMutex g_postsMutex;
QVector<Post> g_posts;

// What the publisher has posted so far. Any thread.
QVector<Post> posts()
{
    QMutexLocker locker(&g_postsMutex);
    return g_posts;
}

void notePost(QNetworkAccessManager::Operation operation, QNetworkReply *reply)
{
    if (operation != QNetworkAccessManager::PostOperation)
        return;
    QMutexLocker locker(&g_postsMutex);
    const int index = g_posts.size();
    g_posts.append({ reply->url().path().section(QLatin1Char('/'), 1, 1), g_clock.nsecsElapsed() });
    QObject::connect(reply, &QNetworkReply::finished, [reply, index] {
        // An element per document; counted rather than parsed, for the same reason.
        const int documents = reply->peek(reply->bytesAvailable()).count("\"id\"");
        QMutexLocker locker(&g_postsMutex);
        g_posts[index].endedAt = g_clock.nsecsElapsed();
        g_posts[index].documents = documents;
    });
}

// The library's own chain, started as a Recorder starts it, its posts noted in g_posts.
void startPublishing()
{
    g_clock.start();
    Singleton<NetworkManager>::getInstance()->setNetworkAccessManager(
        new ObservedManager(notePost));
    currentDataCollector()->initialize();
    currentBackends()->initialize();
    currentPublisher()->startInBackground();
}

// How often the main lock is held, sampled every 5 ms on a thread of its own.
class LockSampler
{
public:
    LockSampler()
        : m_thread([this] {
            SingleExecutor lock(QString::fromLatin1(kMainLockName));
            while (!m_stop.loadRelaxed()) {
                ++m_samples;
                m_held += lock.isAnotherRunning();
                QThread::msleep(5);
            }
        })
    {
    }
    ~LockSampler() { stop(); }
    void stop()
    {
        m_stop.storeRelaxed(1);
        if (m_thread.joinable())
            m_thread.join();
    }
    double heldShare() const { return m_samples ? double(m_held) / m_samples : 0; }
    int samples() const { return m_samples; }

private:
    QAtomicInt m_stop;
    int m_samples = 0;
    int m_held = 0;
    std::thread m_thread;
};

// ---- the draining and destination rows' bookkeeping ----

// Time from one post of @p database to the next, in ms, over the posts from @p first on
// whose documents are all full batches (@p full) or all partial ones.
QVector<double> intervals(int first, const QString &database, bool full)
{
    QVector<double> gaps;
    qint64 previous = -1;
    const QVector<Post> seen = posts();
    for (int i = first; i < seen.size(); ++i) {
        const Post &post = seen.at(i);
        if (post.database != database || post.endedAt == 0)
            continue;
        if ((post.documents == kBatch) != full) {
            previous = -1;
            continue;
        }
        if (previous >= 0)
            gaps << (post.startedAt - previous) / 1e6;
        previous = post.startedAt;
    }
    return gaps;
}

// The median of @p gaps, or the whole wait with a ">" when fewer than two posts came.
QString medianText(const QVector<double> &gaps, double capMs, double &value)
{
    value = gaps.isEmpty() ? capMs : median(gaps);
    return gaps.isEmpty() ? QStringLiteral("> %1").arg(milliseconds(capMs)) : milliseconds(value);
}

// One row of the destinations group: @p many with 199 idle destinations, @p one alone.
void reportTurns(const QString &who, const QVector<double> &many, const QVector<double> &one,
                 double capMs)
{
    double manyMs = 0, oneMs = 0;
    const QString figure = medianText(many, capMs, manyMs);
    const QString baseline = medianText(one, capMs, oneMs);
    report(QStringLiteral("%1 among 200 registered destinations that have nothing to send: "
                          "time from one of its batches to the next, median")
               .arg(who),
           figure, QStringLiteral("%1: the same with it the only destination").arg(baseline),
           manyMs / oneMs);
}

// ---- the publishing worker ----

// What one publishing process did, seen from outside the library.
struct Counters
{
    int attempts = 0; // publish attempts that fired
    int lockTaken = 0; // of those, attempts that found the main lock held
    int uploads = 0; // batches posted
    int accepted = 0; // batches the server answered with 2xx
    int flushes = 0; // flushes that wrote rows
    qint64 uploadNs = 0; // attempt to reply, summed over accepted batches
};

Counters g_counters;
qint64 g_attemptAt = 0;

// Counts the posts of the uploaders and times them from the attempt that made them.
void countUpload(QNetworkAccessManager::Operation operation, QNetworkReply *reply)
{
    if (operation != QNetworkAccessManager::PostOperation)
        return;
    ++g_counters.uploads;
    QObject::connect(reply, &QNetworkReply::finished, [reply, attemptAt = g_attemptAt] {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status >= 200 && status <= 299) {
            ++g_counters.accepted;
            g_counters.uploadNs += g_clock.nsecsElapsed() - attemptAt;
        }
    });
}

// A publish attempt starts when a precise single-shot timer fires on the start-up thread;
// the only other such timer of a worker is the flush's, of 1000 ms. The lock is probed right
// then, a moment before the attempt tries it: the library itself says nothing when an
// attempt finds it taken.
class AttemptWatcher : public QObject
{
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Timer) {
            auto *timer = qobject_cast<QTimer *>(watched);
            if (timer && timer->isSingleShot() && timer->timerType() == Qt::PreciseTimer
                && timer->interval() != kFlushDelayMs
                && static_cast<QTimerEvent *>(event)->timerId() == timer->timerId()) {
                ++g_counters.attempts;
                g_attemptAt = g_clock.nsecsElapsed();
                if (m_lock.isAnotherRunning())
                    ++g_counters.lockTaken;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    SingleExecutor m_lock { QString::fromLatin1(kMainLockName) };
};

QByteArray stats(int flushes)
{
    return QStringLiteral("%1\t%2\t%3\t%4\t%5\t%6")
        .arg(g_counters.attempts)
        .arg(g_counters.lockTaken)
        .arg(g_counters.uploads)
        .arg(g_counters.accepted)
        .arg(flushes)
        .arg(g_counters.uploadNs)
        .toLatin1();
}

// ---- the coordinator's side ----

bool readStats(Worker &worker, Counters &counters)
{
    QList<QByteArray> fields;
    if (!worker.ask("stats", fields) || fields.size() != 6)
        return false;
    counters = { fields.at(0).toInt(), fields.at(1).toInt(), fields.at(2).toInt(),
                 fields.at(3).toInt(), fields.at(4).toInt(), fields.at(5).toLongLong() };
    return true;
}

Counters difference(const Counters &after, const Counters &before)
{
    return { after.attempts - before.attempts, after.lockTaken - before.lockTaken,
             after.uploads - before.uploads,   after.accepted - before.accepted,
             after.flushes - before.flushes,   after.uploadNs - before.uploadNs };
}

} // namespace

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool spinUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.hasExpired(ms))
            return false;
        spin(100);
    }
    return true;
}

QNetworkReply *await(QNetworkReply *reply)
{
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    reply->deleteLater();
    return reply;
}

int documentCount(QNetworkAccessManager &manager, const QString &server, const QString &database)
{
    QNetworkReply *reply = await(manager.get(QNetworkRequest(QUrl(server + '/' + database))));
    return QJsonDocument::fromJson(reply->readAll()).object().value("doc_count").toInt(-1);
}

// Like the round trip's.
QStringList documents(int count)
{
    QStringList all;
    while (all.size() < count)
        all += batch();
    return all.mid(0, count);
}

namespace {

// A batch for the plain client to post, and what it does once the server has stored it.
struct PlainBatch
{
    QByteArray body;
    std::function<void()> stored;
};

// Posts the batches that @p next hands out through a fresh access manager, @p inFlight out at
// a time, the next as soon as one is answered; records/s of the @p records they hold.
double postBatches(const QString &server, const QString &database, int records, int inFlight,
                   const std::function<std::optional<PlainBatch>()> &next)
{
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(server + '/' + database + QStringLiteral("/_bulk_docs")));
    request.setRawHeader("Content-Type", "application/json");
    QEventLoop loop;
    int out = 0, refusedWith = 0;
    bool more = true;
    std::function<void()> postMore = [&] {
        for (; out < inFlight && more && !refusedWith; ++out) {
            std::optional<PlainBatch> batch = next();
            if (!(more = batch.has_value()))
                break;
            QNetworkReply *reply = manager.post(request, batch->body);
            QObject::connect(
                reply, &QNetworkReply::finished, &loop,
                [&, reply, stored = std::move(batch->stored)] {
                    reply->deleteLater();
                    --out;
                    const int status
                        = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                    refusedWith = status == 201 ? refusedWith : status;
                    if (status == 201 && stored)
                        stored();
                    postMore();
                    if (out == 0)
                        loop.quit();
                });
        }
    };
    QElapsedTimer clock;
    clock.start();
    postMore();
    if (out > 0)
        loop.exec();
    if (refusedWith) {
        fail(QStringLiteral("a plain post was answered with %1").arg(refusedWith));
        return 0;
    }
    return records / seconds(clock);
}

} // namespace

double postWithAccessManager(const QString &server, const QString &database, const QStringList &all,
                             int inFlight)
{
    int next = 0;
    return postBatches(server, database, all.size(), inFlight, [&]() -> std::optional<PlainBatch> {
        if (next >= all.size())
            return std::nullopt;
        next += kBatch;
        return PlainBatch { bulkDocsBody(all.mid(next - kBatch, kBatch)), {} };
    });
}

double drainWithAccessManager(const QString &server, const QString &database,
                              const QStringList &all, int inFlight, PlainKeys keys)
{
    const QString connection = QStringLiteral("plain_drain");
    const bool byId = keys == PlainKeys::DocumentId;
    // The column a stored batch is deleted by.
    const QString key = byId ? QStringLiteral("id") : QStringLiteral("seq");
    double rate = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(QDir::temp().filePath(QStringLiteral("plain_drain.db")));
        QSqlQuery query(db);
        const bool ready = db.open() && query.exec(QStringLiteral("PRAGMA journal_mode = WAL"))
            && query.exec(QStringLiteral("PRAGMA synchronous = NORMAL"))
            && query.exec(QStringLiteral("DROP TABLE IF EXISTS records"))
            && query.exec(byId
                              ? QStringLiteral("CREATE TABLE records (id TEXT NOT NULL PRIMARY "
                                               "KEY, seq INTEGER NOT NULL, document TEXT NOT NULL)")
                              : QStringLiteral("CREATE TABLE records (seq INTEGER PRIMARY KEY, "
                                               "document TEXT NOT NULL)"))
            && (!byId || query.exec(QStringLiteral("CREATE INDEX records_by_seq ON records(seq)")))
            && db.transaction()
            && query.prepare(byId ? QStringLiteral("INSERT INTO records VALUES (?, ?, ?)")
                                  : QStringLiteral("INSERT INTO records VALUES (?, ?)"));
        for (int i = 0; ready && i < all.size(); ++i) {
            if (byId)
                query.addBindValue(documentId(all.at(i)));
            query.addBindValue(i + 1);
            query.addBindValue(all.at(i));
            query.exec();
        }
        if (!ready || !db.commit()) {
            fail(QStringLiteral("the plain client's SQLite file could not be filled"));
            return 0;
        }
        qint64 lastRead = 0;
        rate = postBatches(
            server, database, all.size(), inFlight, [&]() -> std::optional<PlainBatch> {
                QSqlQuery read(db);
                read.prepare(QStringLiteral("SELECT seq, document, %1 FROM records WHERE seq > ? "
                                            "ORDER BY seq LIMIT ?")
                                 .arg(key));
                read.addBindValue(lastRead);
                read.addBindValue(kBatch);
                read.exec();
                QStringList documents;
                QVariantList keys;
                while (read.next()) {
                    lastRead = read.value(0).toLongLong();
                    documents << read.value(1).toString();
                    keys << read.value(2);
                }
                if (documents.isEmpty())
                    return std::nullopt;
                return PlainBatch {
                    bulkDocsBody(documents),
                    [&db, &key, keys] {
                        QSqlQuery remove(db);
                        const QString marks = QStringLiteral("?,").repeated(keys.size()).chopped(1);
                        remove.prepare(
                            QStringLiteral("DELETE FROM records WHERE %1 IN (%2)").arg(key, marks));
                        for (const QVariant &value : keys)
                            remove.addBindValue(value);
                        remove.exec();
                    }
                };
            });
    }
    QSqlDatabase::removeDatabase(connection);
    return rate;
}

QString milliseconds(double ms)
{
    return ms >= 1000 ? QStringLiteral("%1 s").arg(ms / 1000, 0, 'f', 2)
                      : QStringLiteral("%1 ms").arg(ms, 0, 'f', ms < 10 ? 2 : 1);
}

bool createDatabase(const QString &server, const QString &database)
{
    QNetworkAccessManager manager;
    const int status
        = await(manager.put(QNetworkRequest(QUrl(server + '/' + database)), QByteArray()))
              ->attribute(QNetworkRequest::HttpStatusCodeAttribute)
              .toInt();
    return status == 201 || status == 412; // 412: it existed already
}

void benchRoundTrip(const QString &server)
{
    constexpr int batches = 50;
    const QString database = QStringLiteral("roundtrip");
    if (server.isEmpty() || !createDatabase(server, database)) {
        fail(QStringLiteral("no pouchdb-server to upload to"));
        return;
    }
    // Notes when each reply ends, before the uploader's own handler runs.
    Singleton<NetworkManager>::getInstance()->setNetworkAccessManager(
        new ObservedManager([](QNetworkAccessManager::Operation, QNetworkReply *reply) {
            QObject::connect(reply, &QNetworkReply::finished,
                             [] { g_replyEnded = g_clock.nsecsElapsed(); });
        }));
    CouchDbDocumentUploader uploader(server, database);
    QVector<double> roundTrips, library;
    g_clock.start();
    for (int i = 0; i < batches + 5; ++i) { // the first five warm the connection up
        const QStringList documents = batch();
        QEventLoop loop;
        bool ok = false;
        qint64 finishedAt = 0;
        auto connection
            = QObject::connect(&uploader, &DocumentUploader::finished, &loop, [&](bool success) {
                  finishedAt = g_clock.nsecsElapsed();
                  ok = success;
                  loop.quit();
              });
        const qint64 start = g_clock.nsecsElapsed();
        uploader.addDocuments({}, documents); // only finished() is read, not which ids it stored
        const qint64 handedOver = g_clock.nsecsElapsed();
        loop.exec();
        QObject::disconnect(connection);
        if (!ok) {
            fail(QStringLiteral("upload %1 failed").arg(i));
            return;
        }
        if (i < 5)
            continue;
        roundTrips << (finishedAt - start);
        library << (handedOver - start) + (finishedAt - g_replyEnded);
    }
    const double trip = median(roundTrips);
    const double own = median(library);
    report(QStringLiteral("one batch of 25 documents (~200 bytes each) to pouchdb-server on "
                          "127.0.0.1, median of 50: the library's own time (body, request, "
                          "reading the reply)"),
           microseconds(own),
           QStringLiteral("%1 ms: the round trip, `addDocuments()` to `finished()`")
               .arg(trip / 1e6, 0, 'f', 1),
           own / trip);
}

void benchPublishing(const QString &server, int windowSeconds, int staggerMs)
{
    const QStringList databases { QStringLiteral("publish_a"), QStringLiteral("publish_b") };
    for (const QString &database : databases) {
        if (server.isEmpty() || !createDatabase(server, database)) {
            fail(QStringLiteral("no pouchdb-server to publish to"));
            return;
        }
    }

    // One cache and one set of locks for the four; this process looks at their lock.
    const SharedCache cache;
    std::vector<Worker> workers;
    if (!startWorkers(workers, kWorkers, { QStringLiteral("--worker"), server }, cache,
                      staggerMs)) {
        fail(QStringLiteral("a publishing worker did not start"));
        return;
    }

    QNetworkAccessManager manager;
    auto arrived = [&] { // -1 when the server does not answer
        int total = 0;
        for (const QString &database : databases) {
            const int count = documentCount(manager, server, database);
            if (count < 0)
                return -1;
            total += count;
        }
        return total;
    };
    auto allStats = [&](QVector<Counters> &counters) {
        counters.resize(kWorkers);
        for (int i = 0; i < kWorkers; ++i) {
            if (!readStats(workers[i], counters[i]))
                return false;
        }
        return true;
    };

    spin(kWarmUpSeconds * 1000);
    QVector<Counters> before, after;
    const bool statsBefore = allStats(before);
    const int arrivedBefore = arrived();
    QElapsedTimer window;
    window.start();

    // How often the main lock is held at a moment picked without regard to anybody's timers.
    SingleExecutor lock(QString::fromLatin1(kMainLockName));
    int samples = 0, held = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        ++samples;
        held += lock.isAnotherRunning();
    });
    probe.start(10);
    spin(windowSeconds * 1000);
    probe.stop();

    const int arrivedAfter = arrived();
    const double elapsed = seconds(window);
    const bool statsAfter = allStats(after);
    stopWorkers(workers);
    if (arrivedBefore < 0 || arrivedAfter < 0 || !statsBefore || !statsAfter) {
        fail(QStringLiteral("the publishing row lost touch with the server or a worker"));
        return;
    }

    Counters total;
    for (int i = 0; i < kWorkers; ++i) {
        const Counters one = difference(after.at(i), before.at(i));
        total = { total.attempts + one.attempts, total.lockTaken + one.lockTaken,
                  total.uploads + one.uploads,   total.accepted + one.accepted,
                  total.flushes + one.flushes,   total.uploadNs + one.uploadNs };
    }
    const double rate = (arrivedAfter - arrivedBefore) / elapsed;
    const double ceiling = kWorkers * elapsed * 1000 / DataTransferFrequency;
    const QString started = staggerMs > 0 ? QStringLiteral("started %1 ms apart").arg(staggerMs)
                                          : QStringLiteral("started together");
    report(QStringLiteral("publishing at the idle cadence: 4 processes (%1) sharing one cache, "
                          "2 destinations getting fewer records than a batch per attempt, real "
                          "%2 s period, batches the server took over %3 s")
               .arg(started)
               .arg(DataTransferFrequency / 1000)
               .arg(windowSeconds),
           QString::number(total.accepted),
           QStringLiteral("%1 batches: each process one per %2 s")
               .arg(ceiling, 0, 'f', 1)
               .arg(DataTransferFrequency / 1000),
           total.accepted / ceiling);
    report(QStringLiteral("publish attempts in that window that found the main lock taken "
                          "(probed by each worker as its attempt fires)"),
           QString::number(total.lockTaken), QStringLiteral("%1 attempts").arg(total.attempts),
           total.attempts ? double(total.lockTaken) / total.attempts : 0);
    note(QStringLiteral("publishing window: %1 attempts, %2 found the main lock taken, %3 "
                        "batches posted, %4 accepted (%5 records arrived, %10 records/s); an "
                        "accepted batch "
                        "took %6 ms from its attempt to the reply; %7 flushes wrote rows; the "
                        "main lock was held in %8 % of %9 samples taken every 10 ms")
             .arg(total.attempts)
             .arg(total.lockTaken)
             .arg(total.uploads)
             .arg(total.accepted)
             .arg(arrivedAfter - arrivedBefore)
             .arg(total.accepted ? total.uploadNs / 1e6 / total.accepted : 0.0, 0, 'f', 1)
             .arg(total.flushes)
             .arg(samples ? 100.0 * held / samples : 0.0, 0, 'f', 1)
             .arg(samples)
             .arg(rate, 0, 'f', 2));
}

namespace {

// This process's CPU time so far, of the threads that ended too (a plain client's access
// manager ends its own with it).
qint64 processCpuNs()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    const auto ns = [](const timeval &time) {
        return qint64(time.tv_sec) * 1000000000 + qint64(time.tv_usec) * 1000;
    };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

// One drain of the library's, as its posts and the lock sampler saw it.
struct DrainRound
{
    double rate = 0; // records/s, first post to last reply
    int posts = 0;
    int flushes = 0; // of this process's own, that wrote
    double seconds = 0;
    int lockSamples = 0, lockHeld = 0;
    double cpuMsPerPost = 0; // this process's, from the first post to the last reply
};

int documentsPosted(int firstPost)
{
    int documents = 0;
    const QVector<Post> seen = posts();
    for (int i = firstPost; i < seen.size(); ++i)
        documents += seen.at(i).documents;
    return documents;
}

// Caches @p all for a destination of its own and waits until the publisher has sent them.
std::optional<DrainRound> drainOnce(const QString &server, const QString &database,
                                    const QStringList &all, const FlushCounts &flushCounts)
{
    constexpr int capSeconds = 120; // the old schedule's 2.5 records/s would take an hour
    const int firstPost = posts().size();
    cacheRecords(registerDestination(server, database), all);
    // A publisher that rests after the round before wakes a period after this cache write.
    if (!spinUntil([firstPost] { return posts().size() > firstPost; },
                   2 * DataTransferFrequency + 5000)) {
        fail(QStringLiteral("the publisher did not post within two periods"));
        return std::nullopt;
    }
    const int flushesBefore = flushCounts.wrote;
    const qint64 cpuBefore = processCpuNs();
    QElapsedTimer draining;
    draining.start();
    LockSampler sampler;
    spinUntil([&] { return documentsPosted(firstPost) >= all.size(); }, capSeconds * 1000);
    spinUntil([] { return posts().last().endedAt != 0; }, 10000);
    sampler.stop();
    const QVector<Post> seen = posts();
    DrainRound round;
    round.posts = seen.size() - firstPost;
    round.cpuMsPerPost = (processCpuNs() - cpuBefore) / 1e6 / qMax(1, round.posts);
    round.rate
        = documentsPosted(firstPost) / ((seen.last().endedAt - seen.at(firstPost).startedAt) / 1e9);
    round.flushes = flushCounts.wrote - flushesBefore;
    round.seconds = seconds(draining);
    round.lockSamples = sampler.samples();
    round.lockHeld = qRound(sampler.heldShare() * sampler.samples());
    return round;
}

} // namespace

namespace {

// A plain client's drains, before and after each of the library's: the server's pace drifts
// over a run, so each of the library's is measured against the mean of the two around it.
struct PlainSeries
{
    explicit PlainSeries(std::function<double(int round)> drain)
        : drain(std::move(drain))
    {
    }

    std::function<double(int round)> drain;
    QVector<double> rates, cpuMsPerPost;

    void run(int round, int batches)
    {
        const qint64 cpuBefore = processCpuNs();
        rates << drain(round);
        cpuMsPerPost << (processCpuNs() - cpuBefore) / 1e6 / batches;
    }
    double around(int round) const { return (rates.at(round) + rates.at(round + 1)) / 2; }
    QString roundText(int round) const
    {
        return QStringLiteral("%1 and %2")
            .arg(rates.at(round), 0, 'f', 0)
            .arg(rates.at(round + 1), 0, 'f', 0);
    }
};

} // namespace

void benchDrain(const QString &server)
{
    constexpr int records = 10000, rounds = 10;
    const auto database = [](const char *kind, int round) {
        return QStringLiteral("drain_%1_%2").arg(QLatin1String(kind)).arg(round);
    };
    QStringList databases { QStringLiteral("drain_raw"), QStringLiteral("drain_warm_up") };
    for (int round = 0; round <= rounds; ++round)
        databases << database("plain", round) << database("keyed", round)
                  << database("memory", round) << database("library", round);
    for (const QString &name : qAsConst(databases)) {
        if (server.isEmpty() || !createDatabase(server, name)) {
            fail(QStringLiteral("no pouchdb-server to drain to"));
            return;
        }
    }
    // The same documents go to each database, so every client posts the same batches.
    const QStringList all = documents(records);
    const int batches = (all.size() + kBatch - 1) / kBatch;
    // The server's first thousands of requests run slower, while its JIT compiles them.
    postWithAccessManager(server, QStringLiteral("drain_warm_up"), all);
    // As many batches out as the library keeps while it drains: a plain client draining its
    // SQLite file (keyed by order, or by the documents' ids as the cache is), and one posting
    // from memory, which has no file to read or delete from.
    PlainSeries plain { [&](int round) {
        return drainWithAccessManager(server, database("plain", round), all, kBatchesOut,
                                      PlainKeys::Sequence);
    } };
    PlainSeries keyed { [&](int round) {
        return drainWithAccessManager(server, database("keyed", round), all, kBatchesOut,
                                      PlainKeys::DocumentId);
    } };
    PlainSeries memory { [&](int round) {
        return postWithAccessManager(server, database("memory", round), all, kBatchesOut);
    } };
    plain.run(0, batches);
    keyed.run(0, batches);
    memory.run(0, batches);
    const double rawRate = postWithSocket(server, QStringLiteral("drain_raw"), all);

    const FlushCounts &flushCounts = countFlushes();
    startPublishing();
    // Something for this process's own flushes to write while the backlog drains, for a
    // storage ID that no destination has.
    QTimer recording;
    QObject::connect(&recording, &QTimer::timeout, [] {
        currentDataCollector()->collect(generateUniqueId(), 1, 0, QStringLiteral("{}"));
    });
    recording.start(100);
    QVector<DrainRound> drains;
    QVector<double> ratios, keyedRatios, memoryRatios;
    for (int round = 0; round < rounds; ++round) {
        const std::optional<DrainRound> drain
            = drainOnce(server, database("library", round), all, flushCounts);
        if (!drain)
            return;
        drains << *drain;
        plain.run(round + 1, batches);
        keyed.run(round + 1, batches);
        memory.run(round + 1, batches);
        ratios << drain->rate / plain.around(round);
        keyedRatios << drain->rate / keyed.around(round);
        memoryRatios << drain->rate / memory.around(round);
    }
    recording.stop();

    QVector<double> trips, gaps, libraryRates, libraryCpuMsPerPost;
    int whileOut = 0;
    const QVector<Post> seen = posts();
    for (int i = 0; i < seen.size(); ++i) {
        trips << (seen.at(i).endedAt - seen.at(i).startedAt) / 1e6;
        if (i == 0 || seen.at(i).database != seen.at(i - 1).database)
            continue;
        gaps << (seen.at(i).startedAt - seen.at(i - 1).startedAt) / 1e6;
        whileOut += seen.at(i).startedAt < seen.at(i - 1).endedAt;
    }
    QStringList roundTexts;
    int lockSamples = 0, lockHeld = 0;
    for (int round = 0; round < rounds; ++round) {
        const DrainRound &drain = drains.at(round);
        libraryRates << drain.rate;
        libraryCpuMsPerPost << drain.cpuMsPerPost;
        lockSamples += drain.lockSamples;
        lockHeld += drain.lockHeld;
        roundTexts << QStringLiteral("%1 (%2 records/s in %3 posts against %4; %5 against %6 "
                                     "keyed by id; %7 against %8 from memory; its own flushes "
                                     "wrote %9 times in %10 s)")
                          .arg(ratios.at(round), 0, 'f', 2)
                          .arg(drain.rate, 0, 'f', 0)
                          .arg(drain.posts)
                          .arg(plain.roundText(round))
                          .arg(keyedRatios.at(round), 0, 'f', 2)
                          .arg(keyed.roundText(round))
                          .arg(memoryRatios.at(round), 0, 'f', 2)
                          .arg(memory.roundText(round))
                          .arg(drain.flushes)
                          .arg(drain.seconds, 0, 'f', 0);
    }
    const QString what = QStringLiteral("draining %1 cached records of one destination to "
                                        "pouchdb-server on 127.0.0.1, one process, first post to "
                                        "last reply, median of %2 drains")
                             .arg(thousands(records))
                             .arg(rounds);
    const QString rate = QStringLiteral("%1 records/s").arg(median(libraryRates), 0, 'f', 0);
    report(what, rate,
           QStringLiteral("%1 records/s: a plain Qt client draining the same records from an "
                          "SQLite file, with `QNetworkAccessManager`, %2 batches out at a time, "
                          "before and after each drain")
               .arg(median(plain.rates), 0, 'f', 0)
               .arg(kBatchesOut),
           median(ratios));
    report(what, rate,
           QStringLiteral("%1 records/s: the same plain client with its table keyed by the "
                          "documents' ids, as the cache is, deleting the ids of each stored batch")
               .arg(median(keyed.rates), 0, 'f', 0),
           median(keyedRatios));
    report(what, rate,
           QStringLiteral("%1 records/s: the same batches posted from memory, %2 out at a time, "
                          "with no file to read or delete from")
               .arg(median(memory.rates), 0, 'f', 0)
               .arg(kBatchesOut),
           median(memoryRatios));
    note(QStringLiteral("draining: each drain against the mean of the plain client's before and "
                        "after it: %1; a post took %2 from request to reply and posts came %3 "
                        "apart (medians), %4 % of them while the one before was out; the main "
                        "lock was held in %5 % of %6 samples taken every 5 ms; a raw socket "
                        "writing each request at once posts the same batches at %7 records/s; "
                        "this process's CPU per batch (medians): %8 while the library drained, "
                        "%9 while the plain client drained its file (%10 keyed by id), %11 while "
                        "it posted from memory")
             .arg(roundTexts.join(QLatin1String(", ")))
             .arg(milliseconds(median(trips)))
             .arg(milliseconds(median(gaps)))
             .arg(100.0 * whileOut / qMax(1, int(gaps.size())), 0, 'f', 0)
             .arg(lockSamples ? 100.0 * lockHeld / lockSamples : 0.0, 0, 'f', 1)
             .arg(lockSamples)
             .arg(rawRate, 0, 'f', 0)
             .arg(milliseconds(median(libraryCpuMsPerPost)))
             .arg(milliseconds(median(plain.cpuMsPerPost)))
             .arg(milliseconds(median(keyed.cpuMsPerPost)))
             .arg(milliseconds(median(memory.cpuMsPerPost))));
}

namespace {

// How long the calling thread has been ready to run but waiting for a CPU, in nanoseconds: the
// second figure of its schedstat; 0 where the kernel does not say.
qint64 cpuWaitNs()
{
    QFile stat(QStringLiteral("/proc/thread-self/schedstat"));
    return stat.open(QIODevice::ReadOnly) ? stat.readAll().split(' ').value(1).toLongLong() : 0;
}

// The main loop's longest delay and how many were over 50 ms.
struct Delays
{
    qint64 longestMs = 0;
    int over50 = 0;

    void add(qint64 gapMs)
    {
        longestMs = std::max(longestMs, gapMs);
        over50 += gapMs > 50;
    }
};

// The main loop's delays, seen by a 10 ms timer: all of them, and each less the main thread's
// waits for a CPU, which other processes (the server on the same cores) cause.
class LoopWatch
{
public:
    LoopWatch()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 gap = m_clock.restart();
            const qint64 waitNs = cpuWaitNs();
            all.add(gap);
            own.add(gap - (waitNs - std::exchange(m_waitNs, waitNs)) / 1000000);
        });
        m_waitNs = cpuWaitNs();
        m_clock.start();
        m_timer.start(10);
    }

    Delays all;
    Delays own;

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_waitNs = 0;
};

// What the main loop and the memory saw while 40 large documents went to the server.
struct LargeRun
{
    Delays all;
    Delays own;
    qint64 peakKb = 0;
    qint64 startKb = 0; // resident as the run began
    double seconds = 0;
};

// The peak resident memory (VmHWM) starts again from the resident memory now.
void resetPeakMemory()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (!clearRefs.open(QIODevice::WriteOnly) || clearRefs.write("5") != 1)
        fail(QStringLiteral("the peak memory cannot be reset"));
}

// The rows cached, read through a connection of the bench's own, as an application's status
// counts them off its main thread: the collector's connection is busy while a flush syncs.
int cachedRowCount()
{
    const QString name = QStringLiteral("bench.count");
    if (!QSqlDatabase::contains(name)) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(getCacheDataBaseLocation());
        db.open();
    }
    QSqlQuery query(QSqlDatabase::database(name));
    return query.exec(QStringLiteral("SELECT count(*) FROM telemetry")) && query.next()
        ? query.value(0).toInt()
        : -1;
}

// A document of about @p bytes, most of it one text member.
QString largeDocument(const QString &id, int bytes)
{
    return QStringLiteral("{\"_id\":\"%1\",\"timestamp\":1700000000000,\"type\":\"bench.large\","
                          "\"payload\":\"%2\"}")
        .arg(id, QString(bytes, QLatin1Char('x')));
}

} // namespace

void benchLarge(const QString &server)
{
    constexpr int records = 40, bytes = 5 * 1000 * 1000, capSeconds = 600;
    const QString plain = QStringLiteral("large_plain"), library = QStringLiteral("large_library");
    for (const QString &database : { plain, library }) {
        if (server.isEmpty() || !createDatabase(server, database)) {
            fail(QStringLiteral("no pouchdb-server to publish to"));
            return;
        }
    }
    QNetworkAccessManager manager;
    LargeRun baseline, run;
    {
        resetPeakMemory();
        const qint64 startKb = statusKb("VmRSS");
        LoopWatch watch;
        QNetworkRequest request(QUrl(server + '/' + plain + QStringLiteral("/_bulk_docs")));
        request.setRawHeader("Content-Type", "application/json");
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < records; ++i) {
            const QByteArray body = bulkDocsBody({ largeDocument(generateUniqueId(), bytes) });
            if (await(manager.post(request, body))
                    ->attribute(QNetworkRequest::HttpStatusCodeAttribute)
                    .toInt()
                != 201) {
                fail(QStringLiteral("a plain post of a large document failed"));
                return;
            }
        }
        baseline = { watch.all, watch.own, statusKb("VmHWM"), startKb, seconds(clock) };
    }

    currentDataCollector()->initialize();
    currentBackends()->initialize();
    const int storageId = registerDestination(server, library);
    for (int i = 0; i < records; ++i) {
        const QString id = generateUniqueId();
        currentDataCollector()->collect(id, 1700000000000 + i, storageId, largeDocument(id, bytes));
        if (i % 4 == 3)
            currentDataCollector()->flush();
    }
    resetPeakMemory();
    const qint64 startKb = statusKb("VmRSS");
    {
        LoopWatch watch;
        startPublishing();
        if (!spinUntil([] { return !posts().isEmpty(); }, 2 * DataTransferFrequency + 5000)) {
            fail(QStringLiteral("the publisher did not post within two periods"));
            return;
        }
        QElapsedTimer clock;
        clock.start();
        if (!spinUntil([] { return cachedRowCount() == 0; }, capSeconds * 1000))
            fail(QStringLiteral("the large records did not drain within %1 s").arg(capSeconds));
        run = { watch.all, watch.own, statusKb("VmHWM"), startKb, seconds(clock) };
    }
    if (documentCount(manager, server, library) != records)
        fail(QStringLiteral("the server did not store the %1 large records").arg(records));

    const QString what = QStringLiteral("publishing 40 cached records of 5 MB to pouchdb-server "
                                        "(4 MB request bound): ");
    const QString against = QStringLiteral(": a plain `QNetworkAccessManager` posting the same "
                                           "documents one per request from the main thread");
    const std::pair<Delays LargeRun::*, QString> kinds[]
        = { { &LargeRun::all, QString() },
            { &LargeRun::own, QStringLiteral(", waits for a CPU aside") } };
    for (const auto &[delays, aside] : kinds) {
        const Delays &ours = run.*delays, &plains = baseline.*delays;
        report(what + QStringLiteral("the main loop's longest delay") + aside,
               milliseconds(ours.longestMs), milliseconds(plains.longestMs) + against,
               double(ours.longestMs) / qMax<qint64>(1, plains.longestMs));
        report(what + QStringLiteral("main-loop delays over 50 ms") + aside,
               QString::number(ours.over50), QString::number(plains.over50) + against,
               double(ours.over50) / qMax(1, plains.over50));
    }
    report(what + QStringLiteral("peak resident memory"),
           QStringLiteral("%1 MB").arg(run.peakKb / 1024),
           QStringLiteral("%1 MB").arg(baseline.peakKb / 1024) + against,
           double(run.peakKb) / baseline.peakKb);
    const qint64 growth = run.peakKb - run.startKb, baseGrowth = baseline.peakKb - baseline.startKb;
    report(what + QStringLiteral("peak resident memory above the start of the run"),
           QStringLiteral("%1 MB").arg(growth / 1024),
           QStringLiteral("%1 MB").arg(baseGrowth / 1024) + against,
           double(growth) / qMax<qint64>(1, baseGrowth));
    report(what + QStringLiteral("time to drain, first post to an empty cache"),
           milliseconds(run.seconds * 1000), milliseconds(baseline.seconds * 1000) + against,
           run.seconds / baseline.seconds);
}

void benchDestinations(const QString &server)
{
    constexpr int idleCapMs = 45000, backlogCapMs = 60000;
    constexpr int others = 199;
    const QString active = QStringLiteral("walk_active");
    if (server.isEmpty() || !createDatabase(server, active)) {
        fail(QStringLiteral("no pouchdb-server to publish to"));
        return;
    }
    startPublishing();
    const int storageId = registerDestination(server, active);
    // A few records every 2 s: fewer than a batch per period, the idle cadence.
    QTimer trickle;
    QObject::connect(&trickle, &QTimer::timeout, [&] { cacheRecords(storageId, documents(3)); });
    auto partialPosts = [&](int first) {
        return [first, &active] { return intervals(first, active, false).size() >= 2; };
    };
    auto idlePhase = [&] {
        const int first = posts().size();
        trickle.start(2000);
        spinUntil(partialPosts(first), idleCapMs);
        trickle.stop();
        return intervals(first, active, false);
    };
    auto backlogPhase = [&] {
        const int first = posts().size();
        cacheRecords(storageId, documents(10 * kBatch));
        spinUntil([] { return currentDataCollector()->getCachedElementsCount() == 0; },
                  backlogCapMs);
        return intervals(first, active, true);
    };

    const QVector<double> idleOne = idlePhase();
    const QVector<double> backlogOne = backlogPhase();
    for (int i = 0; i < others; ++i)
        registerDestination(server, QStringLiteral("walk_idle_%1").arg(i));
    const QVector<double> backlogMany = backlogPhase();
    const QVector<double> idleMany = idlePhase();

    reportTurns(QStringLiteral("a destination with a backlog (250 records)"), backlogMany,
                backlogOne, backlogCapMs);
    reportTurns(QStringLiteral("a destination getting 3 records every 2 s"), idleMany, idleOne,
                idleCapMs);
}

int runPublishingWorker(const QString &server)
{
    g_clock.start();
    const FlushCounts &flushCounts = countFlushes();
    AttemptWatcher watcher;
    QCoreApplication::instance()->installEventFilter(&watcher);
    Singleton<NetworkManager>::getInstance()->setNetworkAccessManager(
        new ObservedManager(countUpload));

    CouchDBBucket buckets[2];
    buckets[0].setDatabase(QStringLiteral("publish_a"));
    buckets[1].setDatabase(QStringLiteral("publish_b"));
    for (CouchDBBucket &bucket : buckets)
        bucket.setServer(QUrl(server));
    std::unique_ptr<Recorder> recorder = newFivePropertyRecorder(); // starts the library
    recorder->setType(QStringLiteral("bench.publish"));
    auto stock = [&](int records) {
        for (CouchDBBucket &bucket : buckets) {
            recorder->setBucket(&bucket);
            for (int i = 0; i < records; ++i)
                recorder->record();
        }
    };
    // Far fewer records than a batch per attempt, so that attempts keep the idle cadence, yet
    // enough that an attempt rarely finds both destinations empty: each of the four adds one
    // record per destination every 4 s, 1 record/s per destination, which about two attempts
    // per period share.
    QTimer restock;
    QObject::connect(&restock, &QTimer::timeout, [&] { stock(1); });
    restock.start(4000);

    const int status = serveCommands({ { "stats", [&] { return stats(flushCounts.wrote); } } });
    recorder->setBucket(nullptr);
    return status;
}

} // namespace korvelbench
