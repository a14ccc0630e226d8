// The rows that talk to a CouchDB-compatible server: one batch's round trip, and the
// throughput of four processes publishing from one shared cache at the real period.
#include "performance.h"

#include "telemetry/publishing/couchdbdocumentuploader.h"
#include "telemetry/publishing/networkmanager.h"
#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/recording/recorder.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"
#include "telemetry/runtime/singleton.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <QVector>

#include <unistd.h>

#include <cstdio>
#include <functional>

using namespace kl::telemetry;

namespace korvelbench {

namespace {

constexpr int kWorkers = 4;
constexpr int kBatch = 25; // the most one publish attempt sends
constexpr int kWarmUpSeconds = 20; // the first attempts come DataTransferFrequency after start

// Runs the event loop until the reply has finished; the reply is deleted later.
QNetworkReply *await(QNetworkReply *reply)
{
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    reply->deleteLater();
    return reply;
}

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int documentCount(QNetworkAccessManager &manager, const QString &server, const QString &database)
{
    QNetworkReply *reply = await(manager.get(QNetworkRequest(QUrl(server + '/' + database))));
    return QJsonDocument::fromJson(reply->readAll()).object().value("doc_count").toInt(-1);
}

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

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
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

// A publish attempt starts when a single-shot timer of DataTransferFrequency fires on the
// start-up thread; nothing else in a worker uses that interval. The lock is probed right
// then, a moment before the attempt tries it: the library itself says nothing when an
// attempt finds it taken.
class AttemptWatcher : public QObject
{
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Timer) {
            auto *timer = qobject_cast<QTimer *>(watched);
            if (timer && timer->isSingleShot() && timer->interval() == DataTransferFrequency
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

QtMessageHandler g_defaultHandler = nullptr;

// Counts the flushes that wrote; every accepted batch logs a "deleted:" warning, which would
// only drown the output.
void workerMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("Commited")))
        ++g_counters.flushes;
    else if (type != QtDebugMsg && !message.startsWith(QLatin1String("deleted:")))
        g_defaultHandler(type, context, message);
}

void writeStats()
{
    std::printf("stats\t%d\t%d\t%d\t%d\t%d\t%lld\n", g_counters.attempts, g_counters.lockTaken,
                g_counters.uploads, g_counters.accepted, g_counters.flushes,
                static_cast<long long>(g_counters.uploadNs));
    std::fflush(stdout);
}

// ---- the coordinator's side ----

struct Worker
{
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();

    bool readLine(QByteArray &line)
    {
        while (!process->canReadLine()) {
            if (!process->waitForReadyRead(60000))
                return false;
        }
        line = process->readLine().trimmed();
        return true;
    }

    bool stats(Counters &counters)
    {
        process->write("stats\n");
        QByteArray line;
        if (!readLine(line))
            return false;
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 7 || fields.first() != "stats")
            return false;
        counters = { fields.at(1).toInt(), fields.at(2).toInt(), fields.at(3).toInt(),
                     fields.at(4).toInt(), fields.at(5).toInt(), fields.at(6).toLongLong() };
        return true;
    }
};

Counters difference(const Counters &after, const Counters &before)
{
    return { after.attempts - before.attempts, after.lockTaken - before.lockTaken,
             after.uploads - before.uploads,   after.accepted - before.accepted,
             after.flushes - before.flushes,   after.uploadNs - before.uploadNs };
}

} // namespace

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
        uploader.addDocuments(documents);
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

    // One cache and one set of locks for the four, apart from everything else.
    QTemporaryDir shared;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), shared.filePath(QStringLiteral("cache")));
    environment.insert(QStringLiteral("TMPDIR"), QDir::tempPath());
    std::vector<Worker> workers(kWorkers);
    for (Worker &worker : workers) {
        worker.process->setProcessEnvironment(environment);
        worker.process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        worker.process->start(QCoreApplication::applicationFilePath(),
                              { QStringLiteral("--worker"), server });
        if (staggerMs > 0 && &worker != &workers.back())
            spin(staggerMs);
    }
    for (Worker &worker : workers) {
        QByteArray line;
        if (!worker.readLine(line) || line != "ready") {
            fail(QStringLiteral("a publishing worker did not start"));
            return;
        }
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
            if (!workers[i].stats(counters[i]))
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
    for (Worker &worker : workers) {
        worker.process->closeWriteChannel();
        if (!worker.process->waitForFinished(20000))
            worker.process->kill();
    }
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
    const double ceiling = kWorkers * kBatch * 1000.0 / DataTransferFrequency;
    const QString started = staggerMs > 0 ? QStringLiteral("started %1 ms apart").arg(staggerMs)
                                          : QStringLiteral("started together");
    report(QStringLiteral("publishing: 4 processes (%1) sharing one cache, 2 destinations kept "
                          "stocked, real %2 s period, records arriving on the server over %3 s")
               .arg(started)
               .arg(DataTransferFrequency / 1000)
               .arg(windowSeconds),
           QStringLiteral("%1 records/s").arg(rate, 0, 'f', 2),
           QStringLiteral("%1 records/s: 4 x 25 records per %2 s")
               .arg(ceiling, 0, 'f', 2)
               .arg(DataTransferFrequency / 1000),
           rate / ceiling);
    report(QStringLiteral("publish attempts in that window that found the main lock taken "
                          "(probed by each worker as its attempt fires)"),
           QString::number(total.lockTaken), QStringLiteral("%1 attempts").arg(total.attempts),
           total.attempts ? double(total.lockTaken) / total.attempts : 0);
    note(QStringLiteral("publishing window: %1 attempts, %2 found the main lock taken, %3 "
                        "batches posted, %4 accepted (%5 records arrived); an accepted batch "
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
             .arg(samples));
}

int runPublishingWorker(const QString &server)
{
    g_clock.start();
    g_defaultHandler = qInstallMessageHandler(workerMessages);
    QLoggingCategory::setFilterRules(QStringLiteral("korvel.telemetry.debug=true"));
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
    // More than the four can send: 2 batches per destination at once, then 2 records per
    // second per destination and process, 16 records/s against the 10 that all four can send.
    stock(2 * kBatch);
    QTimer restock;
    QObject::connect(&restock, &QTimer::timeout, [&] { stock(1); });
    restock.start(500);

    // "stats" prints the counters; the end of the input ends the worker.
    QByteArray input;
    QSocketNotifier commands(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&commands, &QSocketNotifier::activated, [&] {
        char buffer[256];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            commands.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        input.append(buffer, int(got));
        for (int end; (end = input.indexOf('\n')) >= 0; input.remove(0, end + 1)) {
            if (input.left(end) == "stats")
                writeStats();
        }
    });
    std::printf("ready\n");
    std::fflush(stdout);
    const int status = QCoreApplication::exec();
    recorder->setBucket(nullptr);
    return status;
}

} // namespace korvelbench
