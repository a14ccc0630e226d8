// The stress program's controller: four recording workers and a loop of processes that record
// and exit at once share one cache and one pouchdb-server (on disk, so that it can restart)
// behind a fault proxy, while the faults of one table are injected in turn. Without arguments
// it runs the short form that the test command runs;
//   korvelstress --load-seconds 600 --exit-processes 300
// is the long form, run by hand. --table FILE also writes the table it prints into FILE.
// --peer PROGRAM starts every second process from PROGRAM, the stress program of a build with
// the other Qt, so that processes of both Qt versions share the cache and its locks.
//
// The recording processes tell the controller on stdout, a line
// per event: "qt VERSION" (first), "r SEQUENCE [poison]" (a record was handed to record()),
// "uploading" (an attempt started an upload), "queued N" (before each attempt) and "overlap" (it
// took the main lock, which workers do four times a second, while another process held it too,
// as a witness that every holder enters shows), "stall MS" (its main loop ran MS ms late, when
// over 50 ms, time spent waiting for a CPU aside). A worker obeys commands on stdin: "stop"
// (recording), "poison" (record one document whose batches the server refuses whole),
// "kill-in-flush" and "kill-in-upload" (SIGKILL itself at that moment of its next flush or upload),
// "stop-holding-lock" and "stop-in-upload" (SIGSTOP itself once it holds the main lock, or once
// an upload's request is written, its destination claimed); it quits once stdin closes. A
// consent worker records under a TelemetryConsent, at the levels Basic, Usage and Detailed in
// turn, first allowed all; "lower" lowers the consent to Basic, and it says "lowered SEQUENCE"
// (the first record made under Basic) and "consent LEVEL" once the cache file keeps it.
#include "fakehttpserver.h"
#include "testsupport.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/publishing/networkmanager.h"
#include "telemetry/publishing/publisher.h"
#include "telemetry/recording/recorder.h"
#include "telemetry/recording/telemetryconsent.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"
#include "telemetry/runtime/singleton.h"

#include <csignal>
#include <limits>
#include <numeric>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kl::telemetry::stress {

namespace {

// How long the recording processes wait for an upload's reply: below the library's own
// time-out, so that a silent server costs the run little, yet long enough for a server that
// shares a busy machine with several batches at once.
constexpr int kUploadTimeoutMs = 15000, kWorkers = 4;
// A held upload outlasts the workers' upload time-out by far; the proxy ends it then.
constexpr int kHoldMs = 3 * kUploadTimeoutMs;
// A slow machine drains slowly: the wait goes on while the cache shrinks or the server stores
// records, and ends when neither has for a while, longer than a claim of a killed process (the
// upload time-out and 10 s) or a held upload keeps a destination.
constexpr int kDrainStallMs = 60000;
// How long the program waits for what only a stalled library never does: a fault that finds
// its moment, a process that ends. A busy machine is slow, but never this slow.
constexpr int kPatienceMs = 90000;
const QStringList kTables { "telemetry", "telemetry_setaside" }; // queued, set aside
const QString kConsentSource = QStringLiteral("c0");

/// The level a consent worker records @p sequence at: Basic, Usage and Detailed in turn.
TelemetryConsent::Level levelFor(int sequence)
{
    return TelemetryConsent::Level(TelemetryConsent::Basic + sequence % 3);
}

/// The shared destination of a record: one of two, by its sequence number.
QString databaseFor(int sequence)
{
    return sequence % 2 ? QStringLiteral("stress-odd") : QStringLiteral("stress-even");
}

/// The payload a record carries, about 200 bytes, derived from its source and sequence
/// number so that the controller can check the content that arrived.
QString payloadFor(const QString &source, int sequence)
{
    return QStringLiteral("%1/%2;").arg(source).arg(sequence).repeated(40).left(200);
}

QString recordKey(const QString &source, int sequence)
{
    return source + QLatin1Char('/') + QString::number(sequence);
}

class StressRecorder : public Recorder
{
    Q_OBJECT
    Q_PROPERTY(QString source MEMBER m_source)
    Q_PROPERTY(int sequence MEMBER m_sequence)
    Q_PROPERTY(QString payload READ payload)

public:
    QString payload() const { return payloadFor(m_source, m_sequence); }
    QString m_source;
    int m_sequence = 0;
};

// The proxy refuses every batch holding such a record whole, as the server refuses one with a
// reserved member (a name starting with "_").
class PoisonRecorder : public StressRecorder
{
    Q_OBJECT
    Q_PROPERTY(bool poison MEMBER m_poison)

public:
    bool m_poison = true;
};

// Records into the two destinations in turn and publishes as fast as the lock lets it: the
// next attempt comes 100 ms after the last one ended, so that a run drains in seconds.
class StressProcess : public QObject
{
public:
    StressProcess(const QString &server, const QString &source)
        : m_buckets { test::makeBucket(server, databaseFor(0)),
                      test::makeBucket(server, databaseFor(1)) }
    {
        for (const auto &recorder : m_recorders) {
            recorder->setType(QStringLiteral("stress"));
            recorder->m_source = source;
        }
        // One timer, so that the attempts stay one chain however many uploads end.
        m_nextPublish.setSingleShot(true);
        connect(&m_nextPublish, &QTimer::timeout, this, &StressProcess::publish);
        // Deferred, so that the uploader and the publisher have handled the reply first.
        connect(m_manager, &QNetworkAccessManager::finished, this,
                [this](QNetworkReply *reply) { m_nextPublish.start(reply->error() ? 500 : 100); });
    }

    void record(bool poison = false)
    {
        StressRecorder *recorder = m_recorders[poison].get();
        recorder->setBucket(m_buckets[m_next % 2].get());
        recorder->setLevel(levelFor(m_next));
        recorder->m_sequence = m_next;
        recorder->record();
        std::printf("r %d%s\n", m_next++, poison ? " poison" : "");
    }

    void publish()
    {
        std::printf("queued %d\n", currentDataCollector()->getQueuedElementsCount());
        const bool attempted = currentPublisher()->doPublishImpl();
        for (QNetworkReply *reply : m_manager->findChildren<QNetworkReply *>()) {
            if (attempted && !reply->isFinished()) {
                std::printf("uploading\n");
                return onUpload(reply); // the manager's finished() goes on from there
            }
        }
        m_nextPublish.start(100);
    }

    int next() const { return m_next; }

    std::function<void(QNetworkReply *)> onUpload = [](QNetworkReply *) {};

private:
    QNetworkAccessManager *m_manager
        = Singleton<NetworkManager>::getInstance()->networkAccessManager();
    const std::unique_ptr<CouchDBBucket> m_buckets[2];
    std::unique_ptr<StressRecorder> m_recorders[2] { std::make_unique<StressRecorder>(),
                                                     std::make_unique<PoisonRecorder>() };
    int m_next = 0;
    QTimer m_nextPublish;
};

// How long the calling thread has been ready to run but waiting for a CPU, in nanoseconds: the
// second figure of its schedstat; 0 where the kernel does not say.
qint64 cpuWaitNs()
{
    QFile stat(QStringLiteral("/proc/thread-self/schedstat"));
    return stat.open(QIODevice::ReadOnly) ? stat.readAll().split(' ').value(1).toLongLong() : 0;
}

// A consent worker's consent, allowing everything until "lower"; a decision the cache file
// could not keep is made again.
std::unique_ptr<TelemetryConsent> makeConsent()
{
    auto consent = std::make_unique<TelemetryConsent>();
    consent->setApplication(QStringLiteral("stress.example/consent"));
    QObject::connect(consent.get(), &TelemetryConsent::decisionStored,
                     [consent = consent.get()](bool stored) {
                         if (stored)
                             std::printf("consent %d\n", consent->level());
                         else
                             QTimer::singleShot(1000, consent,
                                                [consent] { consent->setLevel(consent->level()); });
                     });
    consent->setLevel(TelemetryConsent::Detailed);
    return consent;
}

// Calls @p then once the whole request of @p reply has been written: the server may or may not
// have it.
void onceSent(QNetworkReply *reply, const std::function<void()> &then)
{
    QObject::connect(reply, &QNetworkReply::uploadProgress, [then](qint64 sent, qint64 total) {
        if (total > 0 && sent == total)
            then();
    });
}

void dieOnceSent(QNetworkReply *reply)
{
    onceSent(reply, [] { std::raise(SIGKILL); });
}

// The processes the controller starts, with arguments MODE SERVER SOURCE: "worker" records
// continuously and publishes, obeying commands on stdin ("consent-worker" too, under a
// consent); "exit-record" records three documents and exits at once; "exit-upload" records
// three, waits until they are cached and exits as soon as an upload is in flight. Returns the
// process's exit code.
int runProcess(const QStringList &arguments)
{
    const QString mode = arguments.value(1);
    std::printf("qt %s\n", qVersion());
    // Only this process's own attempts publish, so that attempts never overlap an upload.
    test::parkPublisherChain();
    // Far below the library's own time-out, so that a silent server costs the run little.
    Singleton<NetworkManager>::getInstance()->setUploadTimeout(kUploadTimeoutMs);
    StressProcess process(arguments.value(2), arguments.value(3));
    const auto consent = mode == QLatin1String("consent-worker") ? makeConsent() : nullptr;
    if (!mode.endsWith(QLatin1String("worker"))) {
        for (int i = 0; i < 3; ++i)
            process.record();
        if (mode == QLatin1String("exit-record"))
            return 0;
        // Under the main lock no other flush is half-way: once this one leaves the queue empty,
        // its records are cached. Then it exits from inside the attempt that started an upload,
        // with the request in flight and its destination claimed. Gives up (exit code 4) after
        // kPatienceMs.
        while (currentDataCollector()->getQueuedElementsCount() > 0) {
            QThread::msleep(50);
            currentDataCollector()->flush();
        }
        process.onUpload = [](QNetworkReply *) { qApp->exit(0); };
        QTimer::singleShot(0, &process, &StressProcess::publish);
        QTimer::singleShot(kPatienceMs, [] { qApp->exit(4); });
        return qApp->exec();
    }
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&process] { process.record(); });
    timer.start(40);
    // A 10 ms beat that comes late tells how long something kept the main loop waiting; the
    // time it waited for a CPU, on a busy machine, and a stop of its own are left out.
    QTimer beat;
    QElapsedTimer sinceBeat;
    const auto stopHere = [&sinceBeat] {
        std::fflush(stdout);
        std::raise(SIGSTOP);
        sinceBeat.restart();
    };
    QTimer probe;
    test::LockWitness witness;
    bool stopHoldingLock = false;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        SingleExecutor lock(test::kMainLock);
        if (!lock.tryToRun())
            return;
        if (!witness.enter())
            std::printf("overlap\n");
        else
            witness.leave();
        if (std::exchange(stopHoldingLock, false))
            stopHere();
    });
    probe.start(250);
    qint64 waitedForCpuNs = cpuWaitNs();
    QObject::connect(&beat, &QTimer::timeout, [&] {
        const qint64 now = cpuWaitNs(), waited = now - std::exchange(waitedForCpuNs, now);
        if (const qint64 late = sinceBeat.restart() - 10 - waited / 1000000; late > 50)
            std::printf("stall %lld\n", late);
    });
    sinceBeat.start();
    beat.start(10);
    const std::map<QByteArray, std::function<void()>> commands {
        { "stop", [&timer] { timer.stop(); } },
        { "poison", [&process] { process.record(true); } },
        // "Commited" is written inside the flush's transaction, before its commit: dying there
        // leaves the lock held and a hot journal behind. Until then the process says nothing.
        { "kill-in-flush",
          [] {
              qInstallMessageHandler(
                  [](QtMsgType, const QMessageLogContext &, const QString &text) {
                      if (text.startsWith(QLatin1String("Commited")))
                          std::raise(SIGKILL);
                  });
              QLoggingCategory::setFilterRules(QStringLiteral("korvel.telemetry.debug=true"));
          } },
        { "kill-in-upload", [&process] { process.onUpload = dieOnceSent; } },
        { "stop-holding-lock", [&stopHoldingLock] { stopHoldingLock = true; } },
        { "lower",
          [&] {
              if (!consent)
                  return;
              consent->setLevel(TelemetryConsent::Basic);
              std::printf("lowered %d\n", process.next());
          } },
        { "stop-in-upload",
          [&] {
              process.onUpload = [&process, stopHere](QNetworkReply *reply) {
                  onceSent(reply, stopHere);
                  process.onUpload = [](QNetworkReply *) {}; // ends this closure: nothing after
              };
          } },
    };
    test::readInputLines(
        &process,
        [&](const QByteArray &command) {
            if (commands.count(command))
                commands.at(command)();
        },
        [] { qApp->quit(); }); // the controller is done with it, or gone
    process.publish();
    return qApp->exec();
}

// The process on this machine at the other end of @p client; 0 when it cannot be found. Its
// end of the connection has the client's peer port as its local port.
qint64 processOf(const QTcpSocket &client)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray local
        = ':' + QByteArray::number(client.peerPort(), 16).toUpper().rightJustified(4, '0');
    const QByteArray remote
        = ':' + QByteArray::number(client.localPort(), 16).toUpper().rightJustified(4, '0');
    QByteArray inode;
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 9 && fields.at(1).endsWith(local) && fields.at(2).endsWith(remote))
            inode = "socket:[" + fields.at(9) + ']';
    }
    if (inode.isEmpty())
        return 0;
    char target[64];
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QString &fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
            const ssize_t size = ::readlink(QFile::encodeName(fds.filePath(fd)).constData(), target,
                                            sizeof target);
            if (QByteArray(target, int(qMax<ssize_t>(size, 0))) == inode)
                return pid.toLongLong();
        }
    }
    return 0;
}

/// An HTTP proxy between the recording processes and pouchdb-server that forwards every request
/// as it came until it is armed with a fault. It reads one request per connection and answers
/// with "Connection: close", so that it never has to follow a client's keep-alive. Its faults:
/// Conflict stores the first document of a batch but reports a conflict for it; Forbidden and
/// Unauthorized drop it and report it refused; NeverAnswer keeps the upload waiting until its
/// client gives up; EndlessBody answers with a 201 whose body never ends.
class FaultProxy : public test::FakeHttpServer
{
public:
    enum Fault { Conflict, Forbidden, Unauthorized, NeverAnswer, EndlessBody, None };

    explicit FaultProxy(const QString &upstream)
        : m_upstream(upstream)
    {
        listen();
    }

    /// Strikes @p fault on the next @p times uploads; None disarms.
    void arm(Fault fault, int times)
    {
        m_armed = fault;
        m_remaining = times;
    }
    /// Documents refused, or uploads held, with @p fault.
    int struck(Fault fault) const { return m_struck[fault]; }
    /// Held uploads whose client gave up before the proxy ended them.
    int givenUp() const { return m_givenUp; }
    /// Documents the server reported stored.
    int stored() const { return m_stored; }
    /// Uploads that came while another process's upload to the same database, claimed in the
    /// same cache file, was out.
    int overlaps() const { return m_overlaps; }
    /**
     * Uploads of @p process do not count as overlaps for @p ms: one that was stopped sends the
     * rest of requests it had begun once it goes on, though its claim ran out meanwhile.
     */
    void excuse(qint64 process, int ms)
    {
        m_excused.insert(process);
        QTimer::singleShot(ms, this, [this, process] { m_excused.remove(process); });
    }
    /// A fault removed the cache file, with the claims it held and the records of @p keys.
    void cacheFileRemoved(const QSet<QString> &keys)
    {
        for (const QString &key : keys)
            m_removedWith.insert(key, m_cacheFile);
        ++m_cacheFile;
    }

private:
    // Counts an overlap, and returns what ends the upload: it is out until answered, or until
    // its client has left (gave up, exited or was killed). Claims live in the cache file: one
    // that a fault removed took them along, so only uploads read from one file count.
    std::function<void()> noteUpload(const QByteArray &target, QTcpSocket *client,
                                     const QString &firstRecord)
    {
        client->setProperty(kFirstRecord, firstRecord);
        // A connection is kept alive for many uploads of one process.
        if (!client->property(kProcess).isValid())
            client->setProperty(kProcess, processOf(*client));
        const int file = cacheFileOf(*client);
        bool overlap = false;
        // A client that left is seen leaving once its end of the connection has been read.
        for (const QPointer<QTcpSocket> &earlier : m_out.values(target)) {
            if (earlier)
                earlier->waitForReadyRead(0);
            if (!earlier || earlier->state() != QAbstractSocket::ConnectedState)
                m_out.remove(target, earlier);
            else if (cacheFileOf(*earlier) == file && !sameProcess(*earlier, *client)
                     && !isExcused(*earlier) && !isExcused(*client)) {
                overlap = true;
                std::printf("overlap: %s from %s (process %lld) while %s (process %lld) was out\n",
                            target.constData(), qPrintable(firstRecord),
                            client->property(kProcess).toLongLong(),
                            qPrintable(earlier->property(kFirstRecord).toString()),
                            earlier->property(kProcess).toLongLong());
            }
        }
        m_overlaps += overlap;
        const QPointer<QTcpSocket> out(client);
        m_out.insert(target, out);
        const auto leave = [this, target, out] { m_out.remove(target, out); };
        connect(client, &QTcpSocket::disconnected, this, leave);
        return leave;
    }

    bool isExcused(const QTcpSocket &upload) const
    {
        return m_excused.contains(upload.property(kProcess).toLongLong());
    }

    // A process may have two batches of one destination out; its claim covers both.
    static bool sameProcess(const QTcpSocket &one, const QTcpSocket &other)
    {
        const qint64 process = one.property(kProcess).toLongLong();
        return process != 0 && process == other.property(kProcess).toLongLong();
    }

    // The file an upload's records were read from: the current one, or one a fault removed.
    int cacheFileOf(const QTcpSocket &upload) const
    {
        return m_removedWith.value(upload.property(kFirstRecord).toString(), m_cacheFile);
    }

    void answer(const Request &request, QTcpSocket *client) override
    {
        const bool upload = request.target.endsWith("/_bulk_docs");
        QJsonArray documents = QJsonDocument::fromJson(request.body)["docs"].toArray();
        const std::function<void()> leave = upload
            ? noteUpload(request.target, client,
                         recordKey(documents.at(0)["source"].toString(),
                                   documents.at(0)["sequence"].toInt()))
            : nullptr;
        if (std::any_of(documents.cbegin(), documents.cend(),
                        [](const QJsonValue &document) { return document["poison"].toBool(); })) {
            leave(); // answered at once, with what pouchdb-server answers a reserved member
            client->write(FakeHttpServer::reply(500, "Internal Server Error", kPoisonAnswer).bytes);
            return client->disconnectFromHost();
        }
        const bool strike = upload && m_remaining > 0;
        const Fault fault = strike ? m_armed : None;
        m_remaining -= strike;
        if (fault == NeverAnswer || fault == EndlessBody)
            return hold(client, fault);
        const QString refused = documents.at(0)["_id"].toString();
        if (fault == Forbidden || fault == Unauthorized)
            documents.removeFirst();
        QNetworkRequest upstream(QUrl(m_upstream + QString::fromLatin1(request.target)));
        upstream.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
        QNetworkReply *reply = m_network.sendCustomRequest(
            upstream, request.method,
            fault == None ? request.body
                          : QJsonDocument(QJsonObject { { "docs", documents } }).toJson());
        // Connected first, so that the upload is no longer out once its answer is written, and
        // what the server stored counts even when its client has given up.
        if (upload) {
            connect(reply, &QNetworkReply::finished, this, [this, reply, leave] {
                leave();
                m_stored += reply->peek(reply->bytesAvailable()).count(R"("ok":true)");
            });
        }
        connect(reply, &QNetworkReply::finished, client, [this, reply, client, fault, refused] {
            reply->deleteLater();
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            QByteArray answer = reply->readAll();
            if (fault != None && status == 201) {
                static const char *const errors[] = { "conflict", "forbidden", "unauthorized" };
                ++m_struck[fault];
                // The server answers in the order of the documents: the refused one came first.
                QJsonArray entries = QJsonDocument::fromJson(answer).array();
                if (fault == Conflict)
                    entries.removeFirst();
                entries.prepend(QJsonObject {
                    { "id", refused }, { "error", errors[fault] }, { "reason", "stress" } });
                answer = QJsonDocument(entries).toJson();
            } else if (fault != None) {
                ++m_remaining; // a batch refused whole takes no strike
            }
            if (status == 0)
                return client->abort(); // as the server's own connection ended
            const QVariant reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute);
            client->write(FakeHttpServer::reply(status, reason.toByteArray(), answer).bytes);
            client->disconnectFromHost();
        });
    }

    // Ends the connection at kHoldMs; a client that left before gave up in time.
    void hold(QTcpSocket *client, Fault fault)
    {
        ++m_struck[fault];
        connect(client, &QTcpSocket::disconnected, this,
                [this, held = QDeadlineTimer(kHoldMs)] { m_givenUp += !held.hasExpired(); });
        QTimer::singleShot(kHoldMs, client, &QTcpSocket::abort);
        if (fault == NeverAnswer)
            return;
        client->write("HTTP/1.1 201 Created\r\nContent-Type: application/json\r\n\r\n[");
        const auto pump
            = [client, chunk = QByteArray(R"({"ok":true,"id":"endless"},)").repeated(4096)] {
                  while (client->state() == QAbstractSocket::ConnectedState
                         && client->bytesToWrite() < 2 * chunk.size())
                      client->write(chunk);
              };
        connect(client, &QTcpSocket::bytesWritten, client, pump);
        pump();
    }

    const QString m_upstream;
    QNetworkAccessManager m_network;
    Fault m_armed = None;
    int m_remaining = 0, m_struck[None] = {}, m_givenUp = 0, m_overlaps = 0, m_stored = 0;
    QMultiHash<QByteArray, QPointer<QTcpSocket>> m_out;
    QSet<qint64> m_excused; // processes
    static constexpr char kFirstRecord[] = "firstRecord";
    static constexpr char kPoisonAnswer[]
        = R"({"error":"doc_validation","reason":"Bad special document member: _poison"})";
    static constexpr char kProcess[] = "process";
    QHash<QString, int> m_removedWith; // record key -> the removed file that held it
    int m_cacheFile = 0;
};

/// One process the controller started, as its output and its end describe it.
struct Run
{
    QString mode, source;
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    int printed = 0, queued = -1;
    int loweredAt = -1; // a consent worker's first record under Basic
    QList<QByteArray> said; // the library's messages
    QElapsedTimer sinceUpload, sinceAttempt;
    bool killed = false, finished = false;
};

// One kind of fault: how to inject it once; false when it could not be.
struct Fault
{
    QString name;
    std::function<bool()> inject;
    int times = 0;
};

class StressRun
{
public:
    StressRun(int loadSeconds, int exitProcesses, const QString &peer)
        : m_loadMs(loadSeconds * 1000)
        , m_exitProcesses(exitProcesses)
        , m_peer(peer)
    {
        // Read-only, so that looking never creates a cache file that a fault removed; a short
        // busy time-out, so that another client's transaction never stops this loop.
        m_db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=100"));
        m_db.setDatabaseName(getCacheDataBaseLocation());
        // The faults' own client writes, but never creates the file either.
        m_writer.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=100"));
        m_writer.setDatabaseName("file:" + m_db.databaseName() + "?mode=rw");
        m_clock.start();
    }
    // A process still running dies with its QProcess.
    ~StressRun() { test::couchDbServer({ "stop" }, QDir::tempPath()); }

    QString exec()
    {
        if (!check(test::httpRequest("PUT", m_server + '/' + databaseFor(0)).status == 201
                       && test::httpRequest("PUT", m_server + '/' + databaseFor(1)).status == 201,
                   "pouchdb-server did not start"))
            return table();
        // The cache on a small file system of its own, which a fault fills; where it cannot be
        // mounted, that fault is skipped. main() unmounts it.
        m_tmpfs = !mount("tmpfs", qPrintable(m_cacheDirectory), "tmpfs", 0, "size=32m,mode=700");
        m_foreign = m_runs.emplace_back(std::make_unique<Run>()).get();
        m_foreign->mode = m_foreign->source = "foreign";
        for (int i = 0; i < kWorkers; ++i)
            m_workers[i] = launch("worker", QStringLiteral("w%1").arg(i));
        Run *consenting = m_workers[kWorkers] = launch("consent-worker", kConsentSource);
        QTimer::singleShot(m_loadMs / 2, consenting->process.get(),
                           [consenting] { consenting->process->write("lower\n"); });
        startExitLoop(m_exitProcesses);
        QTimer snapshots;
        QObject::connect(&snapshots, &QTimer::timeout, [this] { observe(); });
        snapshots.start(250);
        injectFaults();
        waitFor([&] { return m_exitsDone == m_exitProcesses; }, m_exitProcesses * 2 * kPatienceMs,
                "the exit processes did not end");
        drainAndQuit();
        snapshots.stop();
        for (const char *name : { kMainLockName, kDbLockName })
            check(SingleExecutor(QString::fromLatin1(name)).tryToRun(),
                  "a lock is held at the end");
        return table();
    }

    bool passed() const { return m_problems.isEmpty(); }

private:
    /// Notes what the cache holds, under the main lock so that no flush or upload is half-way,
    /// then runs @p removal under the lock too, if the cache holds records: they count as
    /// removed with it. False when the lock was taken, the table unreadable, or nothing removed.
    bool observe(const std::function<void()> &removal = {})
    {
        // A look reads every cached record under the lock that the workers publish under: on
        // a busy machine, with a large backlog, looking every 250 ms would leave them little
        // time to drain it. The controller looks at most a fifth of the time.
        if (!m_nextLook.hasExpired())
            return false;
        QElapsedTimer look;
        look.start();
        const auto pace = qScopeGuard([&] { m_nextLook.setRemainingTime(4 * look.elapsed()); });
        SingleExecutor lock(test::kMainLock);
        if (!lock.tryToRun())
            return false;
        const bool alone = m_witness.enter();
        m_overlaps += !alone;
        const auto leave = qScopeGuard([&] {
            if (alone)
                m_witness.leave();
        });
        QHash<QString, QString> ids;
        // What goes with the file includes what it set aside.
        if (!readCache(kTables.mid(0, removal ? 2 : 1), ids) || (removal && ids.isEmpty()))
            return false;
        m_cachedNow = ids.size();
        m_everCached.insert(ids);
        if (m_lowered) {
            for (auto id = ids.keyBegin(); id != ids.keyEnd(); ++id) {
                if (refusedByConsent(*id))
                    m_cachedPastLowering.insert(*id);
            }
        }
        if (removal) {
            const QSet<QString> keys(ids.keyBegin(), ids.keyEnd());
            m_removed.unite(keys);
            removal();
            m_proxy.cacheFileRemoved(keys);
        }
        return true;
    }

    /// Looks for every record on the server and adds the counts to @p rows; false
    /// when one was lost unexpectedly or queued at a normal exit, is there twice, differs, is in
    /// the wrong database, or the records set aside are not exactly the poison records.
    bool verify(QStringList &rows)
    {
        // The table's first rows; the last six must stay 0.
        enum {
            Recorded,
            Sent,
            Killed,
            Removed,
            Refused,
            Doubled,
            AtExit,
            Lost,
            Wrong,
            Misrouted,
            Disallowed,
            Rows
        };
        QHash<QString, int> onServer; // record key -> copies
        int counts[Rows] = {};
        for (const QString &database : { databaseFor(0), databaseFor(1) }) {
            for (const QJsonObject &document : test::couchDbDocuments(m_server, database)) {
                const QString source = document.value(QLatin1String("source")).toString();
                const int sequence = document.value(QLatin1String("sequence")).toInt();
                const QString key = recordKey(source, sequence), id = document["_id"].toString();
                ++onServer[key];
                counts[Misrouted] += databaseFor(sequence) != database;
                counts[Wrong] += document["payload"] != payloadFor(source, sequence)
                    || m_everCached.value(key, id) != id;
            }
        }
        QHash<QString, QString> left;
        readCache(kTables.mid(1), left);
        const QSet<QString> setAside(left.keyBegin(), left.keyEnd());
        QSet<const Run *> concerned; // exited normally with records never cached
        for (const auto &run : m_runs) {
            counts[Recorded] += run->printed;
            for (int sequence = 0; sequence < run->printed; ++sequence) {
                const QString key = recordKey(run->source, sequence);
                const int copies = onServer.value(key);
                counts[Sent] += copies > 0;
                counts[Doubled] += qMax(0, copies - 1);
                // Made under Basic, or cached when the level was lowered: never to be sent.
                if (run->loweredAt >= 0 && levelFor(sequence) > TelemetryConsent::Basic) {
                    counts[Disallowed] += copies > 0 && sequence >= run->loweredAt;
                    counts[Refused] += copies == 0;
                    if (copies == 0)
                        continue;
                }
                if (copies > 0 || setAside.contains(key))
                    continue;
                // Never cached: queued in a killed process, or at an exit process's end (a
                // worker's queue was empty when it quit). Cached and gone: lost.
                const bool cached = m_everCached.contains(key);
                if (m_removed.contains(key)) {
                    ++counts[Removed];
                } else if (cached || (run->mode.endsWith("worker") && !run->killed)) {
                    ++counts[Lost];
                    std::printf("lost: %s%s\n", qPrintable(key), cached ? ", once cached" : "");
                } else if (run->killed) {
                    ++counts[Killed];
                } else {
                    ++counts[AtExit];
                    std::printf("lost at exit: %s\n", qPrintable(key));
                    concerned.insert(run.get());
                }
            }
        }
        counts[Disallowed] += m_cachedPastLowering.size();
        const QStringList names
            = QStringLiteral(
                  "records recorded;records published;lost, expected: queued in a process "
                  "killed with SIGKILL;lost, expected: in a cache file the faults "
                  "removed, truncated or replaced;dropped, expected: of a level the user's "
                  "consent no longer allowed;duplicates on the server;lost, "
                  "queued at a normal exit;lost, unexpected;content mismatches;misrouted;"
                  "of a level the consent no longer allowed: made and sent, or cached after "
                  "the lowering was kept")
                  .split(';');
        for (int i = 0; i < Rows; ++i)
            rows << names.at(i) + " | " + QString::number(counts[i]);
        for (const auto &run : m_runs) {
            if (counts[Lost] > 0 || concerned.contains(run.get()))
                printMessages(*run);
        }
        const QSet<QString> poisonKept = m_poison - m_removed;
        rows << QStringLiteral("set aside: poison records / others | %1 of %2 / %3")
                    .arg((setAside & poisonKept).size())
                    .arg(poisonKept.size())
                    .arg((setAside - poisonKept).size());
        return std::accumulate(counts + Doubled, counts + Rows, 0) == 0 && setAside == poisonKept;
    }

    // What the library said in a process, for finding where lost records went.
    static void printMessages(const Run &run)
    {
        QMap<QByteArray, int> said;
        for (const QByteArray &line : run.said)
            ++said[line];
        for (auto it = said.cbegin(); it != said.cend(); ++it)
            std::printf("%s said %dx: %s\n", qPrintable(run.source), it.value(),
                        it.key().constData());
    }

    // Adds the records (key -> _id, by their id cell when they name no source and sequence) of
    // @p tables, opening the file anew since it may be another by now. False when the file
    // exists but cannot be read.
    bool readCache(const QStringList &tables, QHash<QString, QString> &ids)
    {
        bool read = m_db.open();
        for (const QString &table : tables) {
            QSqlQuery query(m_db);
            read = read
                && (!m_db.tables().contains(table)
                    || query.exec("SELECT COALESCE(json_extract(r, '$.source') || '/' || "
                                  "json_extract(r, '$.sequence'), id), json_extract(r, '$._id') "
                                  "FROM (SELECT id, CASE WHEN json_valid(recordData) THEN "
                                  "recordData ELSE '{}' END AS r FROM "
                                  + table + ')'));
            while (query.next())
                ids.insert(query.value(0).toString(), query.value(1).toString());
        }
        m_db.close();
        return read || !QFile::exists(m_db.databaseName());
    }

    Run *launch(const QString &mode, const QString &source,
                const QString &cacheHome = qEnvironmentVariable("XDG_CACHE_HOME"))
    {
        Run *run = m_runs.emplace_back(std::make_unique<Run>()).get();
        run->mode = mode;
        run->source = source;
        QObject::connect(run->process.get(), &QProcess::readyReadStandardOutput,
                         [this, run] { read(*run); });
        QObject::connect(
            run->process.get(), qOverload<int, QProcess::ExitStatus>(&QProcess::finished),
            [this, run](int code, QProcess::ExitStatus status) {
                run->finished = true;
                check(status == QProcess::NormalExit || run->killed, "crashed", run);
                check(status == QProcess::CrashExit || code == 0, "exit code not 0", run);
                // An exit process leaves once its upload has started, whatever it does: never as
                // late as the proxy ends an upload it holds, on however busy a machine.
                check(!run->sinceUpload.isValid() || run->sinceUpload.elapsed() < kHoldMs,
                      "an exit with an upload in flight took as long as a held upload", run);
            });
        // The library's messages come between the lines of the protocol.
        run->process->setProcessChannelMode(QProcess::MergedChannels);
        // Root ignores directory permissions, and other users' IPC objects, unless it gives up
        // these capabilities.
        const QStringList drop { "--bounding-set", "-dac_override,-dac_read_search,-ipc_owner" };
        const QString program = !m_peer.isEmpty() && m_runs.size() % 2 == 0
            ? m_peer
            : QCoreApplication::applicationFilePath();
        run->process->start("setpriv",
                            (geteuid() == 0 ? drop : QStringList())
                                + QStringList { "--", "env", "XDG_CACHE_HOME=" + cacheHome, program,
                                                mode, m_proxy.url(), source });
        return run;
    }

    void read(Run &run)
    {
        while (run.process->canReadLine()) {
            const QByteArray line = run.process->readLine().trimmed();
            const QList<QByteArray> words = line.split(' ');
            if (words.first() == "qt") {
                m_qtVersions[QString::fromLatin1(words.value(1))]++;
            } else if (words.first() == "overlap") {
                ++m_overlaps;
            } else if (words.first() == "r") {
                run.printed = words.value(1).toInt() + 1;
                if (words.value(2) == "poison")
                    m_poison.insert(recordKey(run.source, words.value(1).toInt()));
            } else if (words.first() == "uploading") {
                m_uploads++;
                if (run.mode == "exit-upload")
                    run.sinceUpload.start();
            } else if (words.first() == "queued") {
                run.queued = words.value(1).toInt();
                run.sinceAttempt.start();
            } else if (words.first() == "lowered") {
                run.loweredAt = words.value(1).toInt();
            } else if (words.first() == "consent") {
                m_lowered = words.value(1).toInt() == TelemetryConsent::Basic;
            } else if (words.first() == "stall") {
                for (const QString &window : { QString(), m_window })
                    m_stalls[window] = qMax(m_stalls.value(window), words.value(1).toInt());
            } else {
                m_refusedWrites += line.contains("local cache update failed");
                if (!line.startsWith("korvel.telemetry: deleted: ")) { // said after every delete
                    ++m_messages[m_window][line];
                    run.said << line;
                }
            }
        }
    }

    // Processes that record and exit at once, one after the other, in turns with and without
    // an upload in flight at their exit.
    void startExitLoop(int count)
    {
        if (count <= 0)
            return;
        Run *run
            = launch(count % 2 ? "exit-upload" : "exit-record", QStringLiteral("x%1").arg(count));
        // Beyond an exit-upload process's own patience.
        QTimer::singleShot(2 * kPatienceMs, run->process.get(), [this, run] {
            check(run->finished, "hung at exit", run);
            run->process->kill();
        });
        QObject::connect(run->process.get(),
                         qOverload<int, QProcess::ExitStatus>(&QProcess::finished), [this, count] {
                             ++m_exitsDone;
                             if (m_exitsPaused)
                                 m_nextExit = count - 1;
                             else
                                 startExitLoop(count - 1);
                         });
    }

    // Every fault once per 45 s of recording (once in a shorter run), one after the other.
    void injectFaults()
    {
        QVector<Fault> faults {
            { "SIGKILL in a flush", [this] { return killWorker(1, "kill-in-flush\n"); } },
            { "SIGKILL in an upload", [this] { return killWorker(2, "kill-in-upload\n"); } },
            { "SIGSTOP for 60 s, holding the main lock",
              [this] { return stopWorker(0, "stop-holding-lock\n"); } },
            { "SIGSTOP for 60 s in an upload, its destination claimed",
              [this] { return stopWorker(1, "stop-in-upload\n"); } },
            { "pouchdb-server stopped in an upload, back 1 s later",
              [this] { return restartServerInUpload(); } },
            { "cache directory read-only for 3 s", [this] { return refuseWrites(false); } },
            proxied(FaultProxy::Conflict, "document refused: conflict (stored already)", 5),
            proxied(FaultProxy::Forbidden, "document refused: forbidden", 5),
            proxied(FaultProxy::Unauthorized, "document refused: unauthorized", 5),
            cacheFile("deleted", [](const QString &file) { QFile::remove(file); }),
            cacheFile("truncated", [](const QString &file) { QFile::resize(file, 0); }),
            cacheFile("replaced by an empty file",
                      [](const QString &file) {
                          QFile(file + ".new").open(QIODevice::WriteOnly);
                          std::rename(qPrintable(file + ".new"), qPrintable(file));
                      }),
            { "cache directory missing at a process's start, back 2 s later",
              [this] { return startWithoutCacheDirectory(); } },
            { "poison record (its batches refused whole, as for a reserved _member)",
              [this] { return m_workers[3]->process->write("poison\n") > 0; } },
            { "rows of another client: 5 it cannot send (poison), 1 good with an integer id",
              [this] { return writeForeignRows(); } },
            proxied(FaultProxy::EndlessBody, "server streams an endless body"),
            proxied(FaultProxy::NeverAnswer, "server never answers"),
            { m_tmpfs ? "disk full for 5 s" : "disk full (skipped: no tmpfs could be mounted)",
              [this] { return m_tmpfs && refuseWrites(true); } },
            { "exclusive transaction of another client for 60 s",
              [this] { return holdExclusive(); } },
            { canAddUsers() ? "IPC objects and files planted by a second user"
                            : "IPC objects and files planted by a second user (skipped: needs "
                              "root and useradd)",
              [this] { return canAddUsers() && plantAsSecondUser(); } },
        };
        const int rounds = qMax(1, m_loadMs / 45000),
                  step = m_loadMs / rounds / (faults.size() + 1);
        for (int i = 0; i < rounds * faults.size(); ++i) {
            waitUntilMs((i + 1 + i / faults.size()) * step);
            Fault &fault = faults[i % faults.size()];
            m_window = fault.name; // until the next one
            fault.times += fault.inject();
            std::printf("%6.1f s  %s\n", m_clock.elapsed() / 1000.0, qPrintable(fault.name));
        }
        waitUntilMs(m_loadMs);
        QTest::qWait(1000); // what the last one delayed is said once it ends
        m_window.clear();
        for (const Fault &fault : faults) {
            const QHash<QByteArray, int> &said = m_messages[fault.name];
            const auto most = std::max_element(said.cbegin(), said.cend());
            m_rows << QStringLiteral(
                          "fault: %1 | %2 times; worst main-loop delay over 50 ms: %3 ms; "
                          "%4 messages until the next fault (\"deleted\" aside)%5")
                          .arg(fault.name, QString::number(fault.times),
                               QString::number(m_stalls.value(fault.name)),
                               QString::number(std::accumulate(said.cbegin(), said.cend(), 0)),
                               most == said.cend() ? QString()
                                                   : ", most often \"" + most.key() + "\" ("
                                       + QString::number(*most) + ')');
        }
    }

    void waitUntilMs(qint64 elapsed)
    {
        QTest::qWait(int(qMax<qint64>(0, elapsed - m_clock.elapsed())));
    }

    bool killWorker(int index, const QByteArray &command)
    {
        Run *worker = m_workers[index];
        worker->killed = worker->process->write(command) > 0;
        worker->killed
            = waitFor([worker] { return worker->finished; }, kPatienceMs, "a worker lives");
        if (worker->killed)
            m_workers[index]
                = launch("worker", QStringLiteral("w%1.%2").arg(index).arg(m_runs.size()));
        return worker->killed;
    }

    // While a worker is stopped with what it holds, the records another one makes in the first
    // 10 s reach the server within a minute of being made.
    bool stopWorker(int index, const QByteArray &command)
    {
        Run *stopped = m_workers[index];
        const Run *other = m_workers[(index + 1) % kWorkers];
        const auto state = [stopped] {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(stopped->process->processId()));
            return stat.open(QIODevice::ReadOnly) ? stat.readAll().split(')').value(1).trimmed()
                                                  : QByteArray();
        };
        std::printf("%6.1f s  stopping %s (process %lld)\n", m_clock.elapsed() / 1000.0,
                    qPrintable(stopped->source), stopped->process->processId());
        const auto resume = qScopeGuard([this, stopped] {
            std::printf("%6.1f s  resuming it\n", m_clock.elapsed() / 1000.0);
            m_proxy.excuse(stopped->process->processId(), 2 * kUploadTimeoutMs);
            ::kill(pid_t(stopped->process->processId()), SIGCONT);
        });
        if (!check(stopped->process->write(command) > 0, "a worker took no command")
            || !waitFor([&] { return state().startsWith('T'); }, kPatienceMs,
                        "a worker did not stop itself"))
            return false;
        const int from = other->printed;
        QTest::qWait(10000);
        const int to = other->printed;
        QTest::qWait(50000);
        QSet<QString> onServer;
        for (const QString &database : { databaseFor(0), databaseFor(1) }) {
            for (const QJsonObject &document : test::couchDbDocuments(m_server, database))
                onServer.insert(
                    recordKey(document["source"].toString(), document["sequence"].toInt()));
        }
        int missing = 0;
        for (int sequence = from; sequence < to; ++sequence)
            missing += !onServer.contains(recordKey(other->source, sequence));
        return check(to > from && missing == 0,
                     "records made beside a stopped worker did not reach the server in a minute");
    }

    static bool canAddUsers()
    {
        return geteuid() == 0 && !QStandardPaths::findExecutable("useradd").isEmpty();
    }

    // Another user plants System V objects at every key derivable from what `stat` shows of
    // the cache directory through a home of mode 0711, and files named as the locks in /tmp.
    // A process started meanwhile, root without its power over other users' objects, takes
    // its locks, caches and publishes as before.
    bool plantAsSecondUser()
    {
        QTemporaryDir programs(QStringLiteral("/tmp/korvel-planter-XXXXXX"));
        const QString helper = test::helperForOtherUsers(programs.path());
        const test::OtherUser planter("korvelp" + QString::number(getpid()));
        if (!check(!helper.isEmpty() && planter.exists(), "no second user to plant"))
            return false;
        const QByteArray home = QFile::encodeName(qEnvironmentVariable("XDG_CACHE_HOME"));
        chmod(home.constData(), 0711);
        const auto closeHome = qScopeGuard([&home] { chmod(home.constData(), 0700); });
        auto squatter = test::startHelper(
            test::OtherUser::commandAs(planter.name(), { "TMPDIR=" + QDir::tempPath() },
                                       programs.path(), { helper, "plant", m_cacheDirectory }),
            "setpriv");
        const auto unplant = qScopeGuard([&squatter] {
            squatter->closeWriteChannel();
            squatter->waitForFinished();
        });
        if (!check(test::readHelperLine(*squatter) == "planted", "a second user planted nothing"))
            return false;
        // A process whose first lock comes after the planting, as after a boot.
        const Run *fresh = launch("exit-upload", QStringLiteral("planted"));
        const bool ended = waitFor([fresh] { return fresh->finished; }, kPatienceMs,
                                   "a process beside the planted objects did not end");
        const QList<QByteArray> said = m_messages[m_window].keys();
        return ended
            && check(std::none_of(
                         said.cbegin(), said.cend(),
                         [](const QByteArray &line) { return line.contains("cannot be taken"); }),
                     "a lock could not be taken beside another user's planted objects");
    }

    bool restartServerInUpload()
    {
        const int uploads = m_uploads;
        if (!waitFor([&] { return m_uploads > uploads; }, kPatienceMs, "no upload"))
            return false;
        test::couchDbServer({ "stop" }, QDir::tempPath());
        QTest::qWait(1000);
        return check(
            !test::couchDbServer({ "start", "--port", QString::number(QUrl(m_server).port()) },
                                 QDir::tempPath())
                 .isEmpty(),
            "no server again");
    }

    // An exit that meets a fault of the cache file loses its queue, with a warning, so none
    // runs meanwhile.
    void pauseExits()
    {
        m_exitsPaused = true;
        waitFor([this] { return m_nextExit >= 0 || m_exitsDone == m_exitProcesses; }, kPatienceMs,
                "an exit process did not end");
    }
    void resumeExits()
    {
        m_exitsPaused = false;
        startExitLoop(std::exchange(m_nextExit, -1));
    }

    // For the workers' flushes, the cache directory read-only for 3 s, or its file system @p full
    // for 5 s and longer, until a flush has met it, since a busy machine flushes late. Processes
    // whose lock files and write-ahead log are open already write on in a read-only directory.
    bool refuseWrites(bool full)
    {
        pauseExits();
        const QFileDevice::Permissions permissions = QFile::permissions(m_cacheDirectory);
        const int refused = m_refusedWrites;
        QFile filler(m_cacheDirectory + "/filler");
        filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
        while (full && filler.write(QByteArray(4096, 'f')) == 4096) { } // to the last free page
        QFile::setPermissions(m_cacheDirectory,
                              full ? permissions
                                   : permissions & ~(QFile::WriteOwner | QFile::WriteUser));
        QTest::qWait(full ? 5000 : 3000);
        const bool met = !full
            || waitFor([&] { return m_refusedWrites > refused; }, kPatienceMs,
                       "no cache write refused");
        QFile::setPermissions(m_cacheDirectory, permissions);
        filler.remove();
        resumeExits();
        return met;
    }

    // Another client of the file, as a sqlite3 shell would be: no process can use it for a
    // minute, while the main loops of the recording ones must go on.
    bool holdExclusive()
    {
        pauseExits();
        const auto end = qScopeGuard([this] {
            m_writer.close();
            resumeExits();
        });
        if (!waitFor(
                [this] { return m_writer.open() && QSqlQuery(m_writer).exec("BEGIN EXCLUSIVE"); },
                kPatienceMs, "no exclusive transaction"))
            return false;
        QTest::qWait(60000);
        const bool committed = QSqlQuery(m_writer).exec("COMMIT");
        QTest::qWait(1000); // a loop that waited until now says so once it runs
        return check(committed, "the exclusive transaction did not end")
            && check(m_stalls.value(m_window) < 1000,
                     "a main loop waited for another client's transaction");
    }

    // Rows another tool wrote, under the main lock as a careful one would: one of each kind the
    // publisher must set aside, and a good one whose id cell is an integer, which must arrive.
    bool writeForeignRows()
    {
        const int sequence = m_foreign->printed;
        const QString prefix = QStringLiteral("foreign%1-").arg(sequence);
        // The storage ID of the good one's destination; none fails the statement whole.
        const QString insert
            = QStringLiteral(
                  R"(INSERT INTO telemetry SELECT column1, 0, IFNULL(column2, (SELECT storageID )"
                  R"(FROM storages WHERE locationInfo LIKE '%"%5"%')), column3 FROM (VALUES )"
                  R"(('%1text', NULL, '{not JSON'), ('%1array', NULL, '[1,2,3]'), ('%1no-id', )"
                  R"(NULL, '{"payload":1}'), ('%1other-id', NULL, '{"_id":"elsewhere"}'), )"
                  R"(('%1orphan', 999999, '{"_id":"%1orphan"}'), (%2, NULL, '{"_id":"%2",)"
                  R"("source":"foreign","sequence":%3,"payload":"%4"}')))")
                  .arg(prefix, QString::number(900000 + sequence), QString::number(sequence),
                       payloadFor("foreign", sequence), databaseFor(sequence));
        return waitFor(
            [&] {
                SingleExecutor lock(test::kMainLock);
                const auto close = qScopeGuard([this] { m_writer.close(); });
                if (!lock.tryToRun() || !m_writer.open() || !QSqlQuery(m_writer).exec(insert))
                    return false;
                for (const char *kind : { "text", "array", "no-id", "other-id", "orphan" })
                    m_poison.insert(prefix + kind);
                return ++m_foreign->printed > 0;
            },
            kPatienceMs, "no rows of another client written");
    }

    // Waits for @p times strikes of @p kind. A held upload must be given up by its client
    // within its time-out, or once the reply outgrows any sane size, before the proxy ends it.
    // The proxy is disarmed then, so that the fault never outlasts its turn.
    Fault proxied(FaultProxy::Fault kind, const QString &name, int times = 1)
    {
        return { name, [this, kind, times] {
                    const int struck = m_proxy.struck(kind), givenUp = m_proxy.givenUp();
                    m_proxy.arm(kind, times);
                    const auto disarm = qScopeGuard([this] { m_proxy.arm(FaultProxy::None, 0); });
                    return waitFor([&] { return m_proxy.struck(kind) >= struck + times; },
                                   kPatienceMs, "the proxy struck no upload")
                        && (kind < FaultProxy::NeverAnswer
                            || waitFor([&] { return m_proxy.givenUp() > givenUp; }, kHoldMs,
                                       "a client held on to an upload past its time-out"));
                } };
    }

    // Under the main lock, so that what the cache holds then is known to go with the file.
    Fault cacheFile(const QString &how, const std::function<void(const QString &)> &fault)
    {
        return { "cache file " + how, [this, fault] {
                    const auto remove = [&] { fault(getCacheDataBaseLocation()); };
                    return waitFor([&] { return observe(remove); }, kPatienceMs,
                                   "no cache file with records to remove");
                } };
    }

    // A process whose cache directory cannot be made (a file stands in the way); 2 s later the
    // way leads to the shared cache, where its records must arrive.
    bool startWithoutCacheDirectory()
    {
        const QString home = QDir::tempPath() + QStringLiteral("/late-cache%1").arg(m_runs.size());
        QFile(home).open(QIODevice::WriteOnly);
        Run *run = launch("exit-upload", QFileInfo(home).fileName(), home);
        QTest::qWait(2000);
        QFile::remove(home);
        QFile::link(qEnvironmentVariable("XDG_CACHE_HOME"), home);
        return waitFor([run] { return run->finished; }, kPatienceMs, "a late process did not end");
    }

    void drainAndQuit()
    {
        for (Run *worker : m_workers) {
            worker->process->write("stop\n");
            worker->queued = -1;
        }
        // Queues reported empty after the stop, and nothing cached: twice, some time apart,
        // so that a batch requeued between a report and the look is not missed.
        const auto drained = [&] {
            return std::all_of(std::begin(m_workers), std::end(m_workers),
                               [](Run *w) { return w->queued == 0; })
                && observe() && m_cachedNow == 0;
        };
        QElapsedTimer draining;
        draining.start();
        if (waitForDrain(drained, "the cache stopped draining")) {
            m_rows.prepend(QStringLiteral("drained after recording stopped | %1 s")
                               .arg(draining.elapsed() / 1000.0, 0, 'f', 1));
            QTest::qWait(2000);
            waitForDrain(drained, "the cache did not stay drained");
        }
        for (Run *worker : m_workers) {
            worker->process->closeWriteChannel();
            check(QTest::qWaitFor([worker] { return worker->finished; }, kPatienceMs),
                  "did not quit", worker);
        }
    }

    // Fails only once the drain has stalled: neither did the cache shrink nor did the server
    // store a record for kDrainStallMs. Every fault has ended before (each ends within its
    // turn), so the guard counts from the last one's end at the earliest. It looks as often as
    // the snapshots do: each look holds the main lock, which a busy machine makes long.
    bool waitForDrain(const std::function<bool()> &drained, const char *problem)
    {
        int least = std::numeric_limits<int>::max(), stored = m_proxy.stored();
        QDeadlineTimer stalled(kDrainStallMs);
        bool done = false;
        while (!(done = drained()) && !stalled.hasExpired()) {
            if (m_cachedNow < least || m_proxy.stored() > stored) {
                least = qMin(least, m_cachedNow);
                stored = m_proxy.stored();
                stalled.setRemainingTime(kDrainStallMs);
            }
            QTest::qWait(250);
        }
        if (!done)
            printWhyNotDrained();
        return check(done, problem);
    }

    // What a stalled drain leaves to look at once the run's directory is gone: whether the
    // workers still attempt, and what the cache holds and claims.
    void printWhyNotDrained()
    {
        for (const Run *worker : m_workers)
            std::printf("%s: queued %d, last attempt %lld ms ago%s\n", qPrintable(worker->source),
                        worker->queued, worker->sinceAttempt.elapsed(),
                        worker->finished ? ", ended" : "");
        std::printf("now %lld\n", QDateTime::currentMSecsSinceEpoch());
        m_db.open();
        for (const char *select :
             { "SELECT storageID, count(*) FROM telemetry GROUP BY storageID",
               "SELECT * FROM telemetry_claims", "SELECT * FROM telemetry_answers",
               "SELECT * FROM telemetry_publishing" }) {
            QSqlQuery query(m_db);
            std::printf("%s:%s\n", select,
                        query.exec(QString::fromLatin1(select))
                            ? ""
                            : qPrintable(' ' + query.lastError().text()));
            while (query.next()) {
                QStringList cells;
                for (int i = 0; i < query.record().count(); ++i)
                    cells << query.value(i).toString();
                std::printf("  %s\n", qPrintable(cells.join(QLatin1String(", "))));
            }
        }
        m_db.close();
    }

    QString table()
    {
        QStringList rows;
        check(verify(rows), "records lost, doubled, altered, misrouted or wrongly set aside");
        QStringList versions;
        for (auto it = m_qtVersions.cbegin(); it != m_qtVersions.cend(); ++it)
            versions << QStringLiteral("Qt %1: %2").arg(it.key()).arg(it.value());
        check(m_peer.isEmpty() || m_qtVersions.size() == 2, "not both Qt versions ran");
        rows << "processes by Qt version | " + versions.join(", ")
             << QStringLiteral("main lock held by two processes at once | %1").arg(m_overlaps);
        check(m_overlaps == 0, "two processes held the main lock at once");
        rows << QStringLiteral("uploads to a database another process's upload to it, claimed "
                               "in the same cache file, was out | %1")
                    .arg(m_proxy.overlaps());
        check(m_proxy.overlaps() == 0, "uploads of two processes to one database were out at once");
        rows << QStringLiteral("worst main-loop delay over 50 ms of a recording process, waits "
                               "for a CPU aside | %1 ms")
                    .arg(m_stalls.value(QString()));
        rows << m_rows
             << QStringLiteral("wall time | %1 s").arg(m_clock.elapsed() / 1000.0, 0, 'f', 1);
        QString text = "| What | Figure |\n|---|---|\n| " + rows.join(" |\n| ") + " |\n";
        for (const QString &problem : qAsConst(m_problems))
            text += "PROBLEM: " + problem + '\n';
        return text;
    }

    // Whether the record of @p key is one the consent worker's lowered level refuses.
    static bool refusedByConsent(const QString &key)
    {
        const QStringList parts = key.split(QLatin1Char('/'));
        return parts.size() == 2 && parts.first() == kConsentSource
            && levelFor(parts.last().toInt()) > TelemetryConsent::Basic;
    }

    bool check(bool condition, const char *problem, const Run *run = nullptr)
    {
        if (!condition)
            m_problems << (run ? run->source + " (" + run->mode + "): " : QString()) + problem;
        return condition;
    }
    bool waitFor(const std::function<bool()> &done, int timeoutMs, const char *problem)
    {
        return check(QTest::qWaitFor(done, timeoutMs), problem);
    }

    const int m_loadMs, m_exitProcesses;
    const QString m_peer;
    test::LockWitness m_witness { true };
    QMap<QString, int> m_qtVersions;
    int m_overlaps = 0;
    const QString m_server = test::couchDbServer({ "start" }, QDir::tempPath());
    FaultProxy m_proxy { m_server };
    QSqlDatabase m_db
        = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("observer"));
    QSqlDatabase m_writer = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "writer");
    const QString m_cacheDirectory = QFileInfo(getCacheDataBaseLocation()).absolutePath();
    QString m_window; // the fault whose effects count apart
    QHash<QString, int> m_stalls; // fault, or none for the whole run -> worst main-loop delay
    QHash<QString, QHash<QByteArray, int>> m_messages; // fault -> worker message -> times
    QHash<QString, QString> m_everCached; // record key -> _id
    QSet<QString> m_removed, m_poison;
    bool m_lowered = false; // the cache file keeps the consent worker's lowered level
    QSet<QString> m_cachedPastLowering; // records of a level it refuses, cached since

    QElapsedTimer m_clock;
    QDeadlineTimer m_nextLook { 0 };
    std::vector<std::unique_ptr<Run>> m_runs;
    Run *m_workers[kWorkers + 1] = {}, *m_foreign = nullptr; // the last with a consent
    int m_cachedNow = -1, m_exitsDone = 0, m_uploads = 0, m_refusedWrites = 0, m_nextExit = -1;
    bool m_exitsPaused = false, m_tmpfs = false;
    QStringList m_rows, m_problems;
};

} // namespace

} // namespace kl::telemetry::stress

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc > 3 && argv[1][0] != '-') { // a process the controller started
        QCoreApplication app(argc, argv);
        return kl::telemetry::stress::runProcess(app.arguments());
    }
    QByteArray cacheHome; // where the run may mount a file system of its own for the cache
    // Unmounted last, once the environment has removed the IPC objects of the locks' keys there.
    const auto unmount = qScopeGuard([&cacheHome] {
        if (umount2((cacheHome + '/' + kl::telemetry::kCacheDirectoryName).constData(), MNT_DETACH)
            == 0)
            QDir(QFile::decodeName(cacheHome)).removeRecursively();
    });
    // Its own cache, temp directory and IPC namespace, which every process it starts shares.
    kl::telemetry::test::IsolatedEnvironment environment;
    cacheHome = qgetenv("XDG_CACHE_HOME");
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const auto option = [&](const char *name, int fallback) {
        return arguments.contains(name) ? arguments.value(arguments.indexOf(name) + 1).toInt()
                                        : fallback;
    };
    const int peer = arguments.indexOf("--peer");
    kl::telemetry::stress::StressRun run(option("--load-seconds", 45),
                                         option("--exit-processes", 20),
                                         peer > 0 ? arguments.value(peer + 1) : QString());
    const QString table = run.exec();
    std::fputs(qPrintable('\n' + table), stdout);
    QFile file(arguments.value(arguments.indexOf("--table") + 1));
    if (arguments.contains("--table") && file.open(QIODevice::WriteOnly))
        file.write(table.toUtf8());
    return run.passed() ? 0 : 1;
}

#include "stress.moc"
