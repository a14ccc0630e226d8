// The rows of many processes recording into one cache at once: how often a flush with rows
// waiting finds the main lock taken, how long a record takes to reach the server, whether what
// they recorded drains once they stop, and what each process spends. And one process's
// resident memory once a large backlog has gone to the server.
#include "performance.h"
#include "workers.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/recording/recorder.h"
#include "telemetry/runtime/runtime.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QScopeGuard>
#include <QSet>
#include <QTimer>
#include <QUrl>
#include <QVector>

#include <algorithm>
#include <cmath>

using namespace kl::telemetry;

namespace korvelbench {

namespace {

constexpr int kRecordsPerSecond = 25; // of each process
constexpr int kDirectMs = 10000;
constexpr int kCeilingRecords = 5000;

// Carries the moment of its record() into the document, so that its arrival can be timed.
class TimedRecorder : public Recorder
{
    Q_OBJECT
    Q_PROPERTY(qint64 recordedAt MEMBER m_recordedAt)

public:
    void recordNow()
    {
        m_recordedAt = QDateTime::currentMSecsSinceEpoch();
        record();
    }

private:
    qint64 m_recordedAt = 0;
};

// Follows a database's changes feed with long polls back to back, and times each new document
// from its "recordedAt" to the moment its change was read.
class ArrivalWatch
{
public:
    ArrivalWatch(const QString &server, const QString &database)
        : m_feed(server + '/' + database + QStringLiteral("/_changes"))
    {
        poll();
    }
    ~ArrivalWatch() { stop(); }
    Q_DISABLE_COPY(ArrivalWatch)

    void stop()
    {
        m_stopped = true;
        if (m_reply)
            m_reply->abort();
    }
    int arrived() const { return m_latenciesMs.size(); }
    const QVector<double> &latenciesMs() const { return m_latenciesMs; }
    qint64 lastArrival() const { return m_arrivals.isEmpty() ? 0 : m_arrivals.last(); }
    /// Documents a second from @p from to @p to (milliseconds since the epoch): the slope of
    /// the line fitted to how many had arrived by each arrival. Arrivals come in bursts, one
    /// a publish attempt; a count over a span would depend on how many bursts fall into it.
    double arrivalRate(qint64 from, qint64 to) const
    {
        double n = 0, sumT = 0, sumC = 0, sumTT = 0, sumTC = 0;
        for (const qint64 at : m_arrivals) {
            if (at < from || at >= to)
                continue;
            const double t = (at - from) / 1e3, count = ++n;
            sumT += t;
            sumC += count;
            sumTT += t * t;
            sumTC += t * count;
        }
        const double spread = n * sumTT - sumT * sumT;
        return spread > 0 ? (n * sumTC - sumT * sumC) / spread : 0;
    }
    /// Whether the server stopped answering the feed.
    bool lost() const { return m_lost; }

private:
    void poll()
    {
        QUrl url(m_feed);
        url.setQuery(QStringLiteral("feed=longpoll&include_docs=true&timeout=10000&since=")
                     + m_since);
        m_reply = m_manager.get(QNetworkRequest(url));
        QObject::connect(m_reply, &QNetworkReply::finished, &m_manager,
                         [this, reply = m_reply] { take(reply); });
    }

    void take(QNetworkReply *reply)
    {
        reply->deleteLater();
        m_reply = nullptr;
        if (m_stopped)
            return;
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const QJsonObject changes = QJsonDocument::fromJson(reply->readAll()).object();
        m_lost = reply->error() != QNetworkReply::NoError
            || !changes.contains(QLatin1String("last_seq"));
        if (m_lost)
            return;
        for (const QJsonValue &change : changes.value(QLatin1String("results")).toArray())
            noteArrival(change.toObject().value(QLatin1String("doc")).toObject(), now);
        m_since = changes.value(QLatin1String("last_seq")).toVariant().toString();
        poll();
    }

    void noteArrival(const QJsonObject &document, qint64 now)
    {
        const QString id = document.value(QLatin1String("_id")).toString();
        if (!document.contains(QLatin1String("recordedAt")) || m_seen.contains(id))
            return;
        m_seen.insert(id);
        m_latenciesMs << double(now
                                - qint64(document.value(QLatin1String("recordedAt")).toDouble()));
        m_arrivals << now;
    }

    QNetworkAccessManager m_manager;
    const QString m_feed;
    QString m_since = QStringLiteral("0");
    QNetworkReply *m_reply = nullptr;
    QSet<QString> m_seen;
    QVector<double> m_latenciesMs;
    QVector<qint64> m_arrivals;
    bool m_stopped = false;
    bool m_lost = false;
};

double percentile(QVector<double> values, double share)
{
    if (values.isEmpty())
        return qQNaN();
    std::sort(values.begin(), values.end());
    return values.at(std::max(0, int(std::ceil(share * values.size())) - 1));
}

// The same timing of documents posted straight to the server as they are made, at one
// process's pace: what the post and the feed cost by themselves.
QVector<double> directLatencies(const QString &server)
{
    const QString database = QStringLiteral("processes_direct");
    if (!createDatabase(server, database))
        return {};
    ArrivalWatch watch(server, database);
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(server + '/' + database));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    int posted = 0;
    QTimer pace;
    pace.setTimerType(Qt::PreciseTimer);
    QObject::connect(&pace, &QTimer::timeout, [&] {
        const QByteArray body
            = "{\"recordedAt\":" + QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + '}';
        QNetworkReply *reply = manager.post(request, body);
        QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
        ++posted;
    });
    pace.start(1000 / kRecordsPerSecond);
    spin(kDirectMs);
    pace.stop();
    spinUntil([&] { return watch.arrived() >= posted || watch.lost(); }, 5000);
    return watch.latenciesMs();
}

// What one count of recording processes did.
struct Outcome
{
    int windowSeconds = 0; // of recording, and the most waited for draining after it
    int recorded = 0;
    QVector<double> latenciesMs;
    double arrivalRate = 0; // records/s, from the start of recording to the last arrival
    double steadyRate = 0; // records/s arriving while recording, past the first records
    bool drained = false;
    double drainSeconds = 0; // from the end of recording to the last arrival
    int wrote = 0; // flushes that wrote rows
    int postponed = 0; // flushes with rows waiting that found the main lock taken
    double cpuSecondsPerProcess = 0;
    double runSeconds = 0; // from the start of recording to the end of the wait for draining
};

qint64 cpuOf(const std::vector<Worker> &workers)
{
    qint64 ns = 0;
    for (const Worker &worker : workers)
        ns += cpuNanoseconds(worker.processId());
    return ns;
}

int sumOf(const QList<QList<QByteArray>> &answers, int field)
{
    int sum = 0;
    for (const QList<QByteArray> &fields : answers)
        sum += fields.value(field).toInt();
    return sum;
}

// Runs @p count recording workers for the window, then until what they recorded is on the
// server or the window has passed again.
bool runProcesses(const QString &server, int count, int windowSeconds, Outcome &outcome)
{
    outcome.windowSeconds = windowSeconds;
    const int windowMs = windowSeconds * 1000;
    const QString database = QStringLiteral("processes_%1").arg(count);
    if (!createDatabase(server, database)) {
        fail(QStringLiteral("no pouchdb-server to record to"));
        return false;
    }
    const SharedCache cache;
    std::vector<Worker> workers;
    const auto stop = qScopeGuard([&] { stopWorkers(workers); });
    if (!startWorkers(workers, count, { QStringLiteral("--recording"), server + '/' + database },
                      cache)) {
        fail(QStringLiteral("a recording worker of %1 did not start").arg(count));
        return false;
    }
    ArrivalWatch watch(server, database);
    QList<QList<QByteArray>> answers;
    const qint64 cpuBefore = cpuOf(workers);
    const qint64 startedAt = QDateTime::currentMSecsSinceEpoch();
    bool answered = askAll(workers, "start", answers);
    spin(windowMs);
    answered = answered && askAll(workers, "stop", answers);
    const qint64 stoppedAt = QDateTime::currentMSecsSinceEpoch();
    outcome.recorded = sumOf(answers, 0);
    outcome.drained = answered
        && spinUntil([&] { return watch.arrived() >= outcome.recorded || watch.lost(); }, windowMs)
        && !watch.lost();
    outcome.runSeconds = (QDateTime::currentMSecsSinceEpoch() - startedAt) / 1e3;
    outcome.cpuSecondsPerProcess = (cpuOf(workers) - cpuBefore) / 1e9 / count;
    answered = answered && askAll(workers, "stats", answers);
    watch.stop();
    if (!answered || watch.lost()) {
        fail(QStringLiteral("%1 recording processes: lost touch with %2")
                 .arg(count)
                 .arg(answered ? QStringLiteral("the server") : QStringLiteral("a worker")));
        return false;
    }
    outcome.wrote = sumOf(answers, 0);
    outcome.postponed = sumOf(answers, 1);
    outcome.latenciesMs = watch.latenciesMs();
    outcome.arrivalRate
        = watch.arrived() ? watch.arrived() / ((watch.lastArrival() - startedAt) / 1e3) : 0;
    outcome.drainSeconds = std::max<qint64>(0, watch.lastArrival() - stoppedAt) / 1e3;
    // The first records' latency aside: from a quarter of the window on, only the pace.
    outcome.steadyRate = watch.arrivalRate(startedAt + windowMs / 4, stoppedAt);
    return true;
}

QString processesText(int count)
{
    return QStringLiteral("%1 recording process%2 (%3 records/s each, one cache)")
        .arg(count)
        .arg(count == 1 ? "" : "es")
        .arg(kRecordsPerSecond);
}

QString drainedText(const Outcome &outcome)
{
    const int missing = outcome.recorded - outcome.latenciesMs.size();
    return outcome.drained ? QStringLiteral("yes (%1 s)").arg(outcome.drainSeconds, 0, 'f', 1)
                           : QStringLiteral("no: %1 missing").arg(thousands(missing));
}

void reportProcesses(int count, const Outcome &outcome, const QVector<double> &direct)
{
    const QString who = processesText(count);
    const int waiting = outcome.wrote + outcome.postponed;
    const double refused = waiting ? double(outcome.postponed) / waiting : 0;
    report(QStringLiteral("%1: flushes with rows waiting that found the main lock taken").arg(who),
           QStringLiteral("%1 (%2 %)").arg(outcome.postponed).arg(100 * refused, 0, 'f', 1),
           QStringLiteral("%1 flushes with rows waiting").arg(waiting), refused);
    for (const double share : { 0.5, 0.99 }) {
        const double ms = percentile(outcome.latenciesMs, share);
        const double floor = percentile(direct, share);
        report(QStringLiteral("%1: record() to arrival on the server (changes feed), p%2")
                   .arg(who)
                   .arg(qRound(share * 100)),
               milliseconds(ms),
               QStringLiteral("%1: a document posted straight to the server, seen the same way")
                   .arg(milliseconds(floor)),
               ms / floor);
    }
    note(QStringLiteral("%1: %2 records made in %3 s, %4 on the server (%5 records/s from the "
                        "start of recording to the last arrival); drained within %6 s after "
                        "recording stopped: %7; %8 CPU s per process over %9 s")
             .arg(who)
             .arg(thousands(outcome.recorded))
             .arg(outcome.windowSeconds)
             .arg(thousands(outcome.latenciesMs.size()))
             .arg(outcome.arrivalRate, 0, 'f', 1)
             .arg(outcome.windowSeconds)
             .arg(drainedText(outcome))
             .arg(outcome.cpuSecondsPerProcess, 0, 'f', 2)
             .arg(outcome.runSeconds, 0, 'f', 0));
    note(QStringLiteral("processes table: | %1 | %2 % (%3 of %4) | %5 | %6 | %7 | %8 |")
             .arg(count)
             .arg(100 * refused, 0, 'f', 1)
             .arg(outcome.postponed)
             .arg(waiting)
             .arg(milliseconds(percentile(outcome.latenciesMs, 0.5)),
                  milliseconds(percentile(outcome.latenciesMs, 0.99)), drainedText(outcome))
             .arg(outcome.cpuSecondsPerProcess, 0, 'f', 2));
}

// ---- memory after a backlog ----

QString megabytes(qint64 kb)
{
    return QStringLiteral("%1 MB").arg(kb / 1024.0, 0, 'f', 1);
}

// Records in chunks, each written into the cache before the next is made, so that the
// queue's bound drops none.
void recordInChunks(Recorder &recorder, int count, int chunk)
{
    for (int made = 0; made < count; made += chunk) {
        for (int i = 0; i < chunk; ++i)
            recorder.record();
        spinUntil([] { return currentDataCollector()->getQueuedElementsCount() == 0; }, 30000);
    }
}

} // namespace

qint64 statusKb(const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).simplified().split(' ').value(0).toLongLong();
    }
    return -1;
}

int runRecordingWorker(const QString &destination)
{
    const FlushCounts &flushes = countFlushes();
    const QUrl url(destination);
    CouchDBBucket bucket;
    bucket.setServer(url.adjusted(QUrl::RemovePath));
    bucket.setDatabase(url.path().mid(1));
    TimedRecorder recorder; // starts the library
    recorder.setType(QStringLiteral("bench.processes"));
    recorder.setBucket(&bucket);
    int recorded = 0;
    QElapsedTimer sinceStart;
    QTimer pace;
    pace.setTimerType(Qt::PreciseTimer);
    // Ticks that came late are made up for, so that the rate holds.
    QObject::connect(&pace, &QTimer::timeout, [&] {
        for (const qint64 due = sinceStart.elapsed() * kRecordsPerSecond / 1000; recorded < due;
             ++recorded)
            recorder.recordNow();
    });
    const int status = serveCommands({
        { "start",
          [&] {
              sinceStart.start();
              pace.start(1000 / kRecordsPerSecond);
              return QByteArray();
          } },
        { "stop",
          [&] {
              pace.stop();
              return QByteArray::number(recorded);
          } },
        { "stats",
          [&] {
              return QByteArray::number(flushes.wrote) + '\t'
                  + QByteArray::number(flushes.postponed);
          } },
    });
    recorder.setBucket(nullptr);
    return status;
}

void benchProcesses(const QString &server, int windowSeconds)
{
    if (server.isEmpty() || !createDatabase(server, QStringLiteral("processes_ceiling"))) {
        fail(QStringLiteral("no pouchdb-server to record to"));
        return;
    }
    const double ceiling = postWithAccessManager(server, QStringLiteral("processes_ceiling"),
                                                 documents(kCeilingRecords));
    const QVector<double> direct = directLatencies(server);
    if (direct.isEmpty()) {
        fail(QStringLiteral("no document posted straight to the server was seen arriving"));
        return;
    }
    for (const int count : { 1, 4, 16, 32, 64 }) {
        Outcome outcome;
        if (!runProcesses(server, count, windowSeconds, outcome))
            continue;
        reportProcesses(count, outcome, direct);
        const double offered = double(outcome.recorded) / windowSeconds;
        report(QStringLiteral("%1: records arriving on the server per second while recording, "
                              "past its first quarter (slope of the arrivals)")
                   .arg(processesText(count)),
               QStringLiteral("%1 records/s").arg(outcome.steadyRate, 0, 'f', 0),
               QStringLiteral("%1 records/s recorded").arg(offered, 0, 'f', 0),
               outcome.steadyRate / offered);
        if (count >= 32)
            report(QStringLiteral("%1: records arriving on the server per second, from the "
                                  "start of recording to the last arrival")
                       .arg(processesText(count)),
                   QStringLiteral("%1 records/s").arg(outcome.arrivalRate, 0, 'f', 0),
                   QStringLiteral("%1 records/s: a plain `QNetworkAccessManager` posting "
                                  "batches of 25 back to back")
                       .arg(ceiling, 0, 'f', 0),
                   outcome.arrivalRate / ceiling);
    }
}

void benchBacklog(const QString &server)
{
    constexpr int records = 100000, chunk = 5000;
    constexpr int settleMs = 5000, drainCapMs = 400000, restMs = 30000;
    const QString database = QStringLiteral("backlog");
    if (server.isEmpty() || !createDatabase(server, database)) {
        fail(QStringLiteral("no pouchdb-server to publish to"));
        return;
    }
    hideBatchWarnings(); // one for each batch of 25
    CouchDBBucket bucket;
    bucket.setServer(QUrl(server));
    bucket.setDatabase(database);
    const std::unique_ptr<Recorder> recorder = newFivePropertyRecorder(); // starts the library
    recorder->setType(QStringLiteral("bench.backlog"));
    recorder->setBucket(&bucket);
    // The client that watches the server is part of the idle figure.
    QNetworkAccessManager manager;
    documentCount(manager, server, database);
    spin(settleMs);
    const qint64 idleKb = statusKb("VmRSS");

    QElapsedTimer clock;
    clock.start();
    recordInChunks(*recorder, records, chunk);
    const double recordingSeconds = seconds(clock);
    int onServer = 0;
    const bool drained = spinUntil(
        [&] { return (onServer = documentCount(manager, server, database)) >= records; },
        drainCapMs);
    const double drainSeconds = seconds(clock);
    const qint64 drainedKb = statusKb("VmRSS");
    spin(restMs);
    const qint64 afterKb = statusKb("VmRSS");
    report(QStringLiteral("resident memory of one process %1 s after a backlog of %2 records "
                          "(five properties, ~200 bytes each) went to the server")
               .arg(restMs / 1000)
               .arg(thousands(records)),
           QStringLiteral("+%1 (%2)").arg(megabytes(afterKb - idleKb), megabytes(afterKb)),
           QStringLiteral("%1: the same process idle, the library started, before recording")
               .arg(megabytes(idleKb)),
           double(afterKb) / idleKb);
    note(QStringLiteral("backlog: %1 records made in %2 s (%3 dropped from the queue); %4 on "
                        "the server %5 s after the first record%6; resident %7 right then, "
                        "peak %8; the goal is within 5 MB of idle")
             .arg(thousands(records))
             .arg(recordingSeconds, 0, 'f', 1)
             .arg(currentDataCollector()->droppedQueuedRecords())
             .arg(thousands(onServer))
             .arg(drainSeconds, 0, 'f', 0)
             .arg(drained ? QString() : QStringLiteral(", not all: the wait ended"))
             .arg(megabytes(drainedKb), megabytes(statusKb("VmHWM"))));
    recorder->setBucket(nullptr);
}

} // namespace korvelbench

#include "processrows.moc"
