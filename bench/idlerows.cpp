// The idle rows: what processes that have built their Recorder and record nothing cost the
// desktop, against bare Qt applications doing the same nothing in the same run, alone and
// beside an application that records a document every 30 s into the same cache; and what that
// application costs itself, against a plain Qt program doing its work. Wake-ups are the context
// switches of every thread (a thread that wakes from a sleep switches once when it sleeps
// again); file accesses and lock takes are what inotify sees in the cache directory; system
// calls are what `perf stat` counts at the kernel's raw_syscalls:sys_enter tracepoint.
#include "performance.h"

#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/recording/recorder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QUuid>

#include <algorithm>
#include <ctime>
#include <memory>
#include <optional>
#include <vector>

#include <csignal>

#include <sys/inotify.h>
#include <unistd.h>

namespace korvelbench {

namespace {

// Past the first publish attempt, which looks for what other processes left, 10 to 20 s after
// the start.
constexpr int kWarmUpMs = 25000;
constexpr int kFirstAttemptDoneMs = 21000;
constexpr int kWindowMs = 60000;
constexpr int kManyProcesses = 20;
constexpr int kTrickleMs = 30000;

struct Usage
{
    qint64 switches = 0;
    qint64 cpuNs = 0;

    Usage &operator+=(const Usage &other)
    {
        switches += other.switches;
        cpuNs += other.cpuNs;
        return *this;
    }
};

qint64 field(const QByteArray &line)
{
    return line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
}

// Per thread ID: a thread that ends (the pool's idle ones do after 30 s) takes its counts along.
using TaskUsage = QHash<QString, Usage>;

TaskUsage taskUsageOf(qint64 pid)
{
    TaskUsage usage;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(tasks.filePath(task + QStringLiteral("/status")));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        Usage &ofTask = usage[task];
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches")
                || line.startsWith("nonvoluntary_ctxt_switches"))
                ofTask.switches += field(line);
        }
        // Nanoseconds on the CPU: clock ticks are too coarse for a process that sleeps.
        QFile schedstat(tasks.filePath(task + QStringLiteral("/schedstat")));
        if (schedstat.open(QIODevice::ReadOnly))
            ofTask.cpuNs += schedstat.readAll().split(' ').value(0).toLongLong();
    }
    return usage;
}

Usage usageOf(qint64 pid)
{
    Usage usage;
    for (const Usage &ofTask : taskUsageOf(pid))
        usage += ofTask;
    return usage;
}

// What the threads alive at the end spent since @p before: an ended thread's last moments are
// not counted, a new one's are in full.
Usage usageSince(const TaskUsage &before, const TaskUsage &after)
{
    Usage spent;
    for (auto task = after.cbegin(); task != after.cend(); ++task) {
        const Usage then = before.value(task.key());
        spent += { task->switches - then.switches, task->cpuNs - then.cpuNs };
    }
    return spent;
}

// Events inotify reports in one directory: accesses of the cache file, and opens of a lock
// file (each take of a lock opens its file).
class DirectoryWatch
{
public:
    explicit DirectoryWatch(const QString &directory)
        : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        QDir().mkpath(directory);
        QFile::setPermissions(
            directory, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        inotify_add_watch(m_fd, QFile::encodeName(directory).constData(),
                          IN_ACCESS | IN_MODIFY | IN_OPEN | IN_CREATE);
    }
    ~DirectoryWatch() { close(m_fd); }
    Q_DISABLE_COPY(DirectoryWatch)

    void drain(qint64 *fileAccesses, qint64 *lockTakes)
    {
        alignas(inotify_event) char buffer[64 * 1024];
        for (ssize_t size; (size = read(m_fd, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < size;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                const QByteArray name(event->len ? event->name : "");
                if (name.startsWith("korvel.db"))
                    ++*fileAccesses;
                else if (name.startsWith("korvel_lock_") && (event->mask & IN_OPEN))
                    ++*lockTakes;
                at += ssize_t(sizeof(inotify_event)) + event->len;
            }
        }
    }

private:
    int m_fd;
};

// The system calls of one process and the threads it starts, while this object lives; -1
// where perf cannot count them.
class SystemCallCount
{
public:
    explicit SystemCallCount(qint64 pid)
    {
        m_perf.setProcessChannelMode(QProcess::SeparateChannels);
        m_perf.start(QStringLiteral("perf"),
                     { QStringLiteral("stat"), QStringLiteral("-x"), QStringLiteral(","),
                       QStringLiteral("-e"), QStringLiteral("raw_syscalls:sys_enter"),
                       QStringLiteral("-p"), QString::number(pid) });
        m_perf.waitForStarted();
    }
    ~SystemCallCount() { take(); }
    Q_DISABLE_COPY(SystemCallCount)

    qint64 take()
    {
        if (m_perf.state() == QProcess::Running) {
            ::kill(pid_t(m_perf.processId()), SIGINT);
            m_perf.waitForFinished(10000);
            const QByteArray line = m_perf.readAllStandardError().trimmed();
            bool counted = false;
            const qint64 count = line.split(',').value(0).toLongLong(&counted);
            m_count = counted ? count : -1;
        }
        return m_count;
    }

private:
    QProcess m_perf;
    qint64 m_count = -1;
};

struct Measure
{
    double wakeUpsPerSecond = 0;
    double cpuSeconds = 0;
    qint64 fileAccessesPerMinute = 0;
    qint64 lockTakesPerMinute = 0;
    // Of the recording application, when there is one.
    double recorderWakeUpsPerSecond = 0;
    qint64 recorderSystemCalls = -1;
};

std::unique_ptr<QProcess> startIdleProcess(const QString &kind,
                                           const QProcessEnvironment &environment)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QCoreApplication::applicationFilePath(), { QStringLiteral("--idle"), kind });
    process->waitForStarted();
    return process;
}

// Runs @p count idle processes of @p kind ("library" or "bare") sharing one cache home, started
// well before an application that records into it every 30 s when @p trickler names its kind;
// their usage is measured apart from the recording application's, the file accesses and lock
// takes of all.
Measure measureIdle(const QString &kind, int count, const QString &trickler = QString())
{
    QTemporaryDir home;
    const QString cacheDirectory = home.filePath(QStringLiteral("cache/KorvelTelemetry"));
    DirectoryWatch watch(cacheDirectory);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), home.filePath(QStringLiteral("cache")));
    environment.insert(QStringLiteral("TMPDIR"), home.path());
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int i = 0; i < count; ++i)
        processes.push_back(startIdleProcess(kind, environment));
    std::unique_ptr<QProcess> recording;
    if (!trickler.isEmpty()) {
        // Once the others rest: one of them, not the trickler, watches for the rest of them.
        QThread::msleep(kFirstAttemptDoneMs);
        recording = startIdleProcess(trickler, environment);
    }
    QThread::msleep(kWarmUpMs);
    const auto total = [&processes] {
        TaskUsage usage;
        for (const auto &process : processes) {
            const QString pid = QString::number(process->processId()) + QLatin1Char('/');
            const TaskUsage ofProcess = taskUsageOf(process->processId());
            for (auto task = ofProcess.cbegin(); task != ofProcess.cend(); ++task)
                usage.insert(pid + task.key(), *task);
        }
        return usage;
    };
    qint64 startUp = 0;
    watch.drain(&startUp, &startUp);
    Measure measure;
    const qint64 recordingPid = recording ? recording->processId() : 0;
    std::optional<SystemCallCount> systemCalls;
    if (recording)
        systemCalls.emplace(recordingPid);
    const TaskUsage before = total();
    const TaskUsage recordingBefore = taskUsageOf(recordingPid);
    QThread::msleep(kWindowMs);
    const Usage spent = usageSince(before, total());
    const Usage recordingSpent = usageSince(recordingBefore, taskUsageOf(recordingPid));
    watch.drain(&measure.fileAccessesPerMinute, &measure.lockTakesPerMinute);
    measure.wakeUpsPerSecond = spent.switches / (kWindowMs / 1000.0);
    measure.cpuSeconds = spent.cpuNs / 1e9;
    if (recording) {
        measure.recorderWakeUpsPerSecond = recordingSpent.switches / (kWindowMs / 1000.0);
        measure.recorderSystemCalls = systemCalls->take();
        processes.push_back(std::move(recording));
    }
    for (const auto &process : processes) {
        process->kill();
        process->waitForFinished();
    }
    return measure;
}

double ratio(double figure, double baseline)
{
    return baseline > 0 ? figure / baseline : (figure > 0 ? qInf() : 1.0);
}

} // namespace

qint64 cpuNanoseconds(qint64 pid)
{
    return usageOf(pid).cpuNs;
}

namespace {

// The recording application's work without the library: each record inserted into an SQLite
// file, posted to the benchmark's server, and deleted once the server has stored it.
class PlainTrickle : public QObject
{
public:
    PlainTrickle()
        : m_database(QSqlDatabase::addDatabase(QStringLiteral("QSQLITE")))
    {
        m_database.setDatabaseName(QDir::temp().filePath(QStringLiteral("plain.db")));
        m_database.open();
        QSqlQuery(m_database)
            .exec(QStringLiteral("CREATE TABLE records (id INTEGER PRIMARY KEY, document TEXT)"));
        connect(&m_timer, &QTimer::timeout, this, &PlainTrickle::recordOne);
        m_timer.start(kTrickleMs);
        recordOne();
    }

private:
    void recordOne()
    {
        const QByteArray document = "{\"_id\":\""
            + QUuid::createUuid().toByteArray(QUuid::WithoutBraces)
            + "\",\"type\":\"bench.idle\",\"timestamp\":"
            + QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + "}";
        QSqlQuery insert(m_database);
        insert.prepare(QStringLiteral("INSERT INTO records (document) VALUES (?)"));
        insert.addBindValue(document);
        insert.exec();
        const QVariant id = insert.lastInsertId();
        QNetworkRequest request(QUrl(benchServer() + QStringLiteral("/idle/_bulk_docs")));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        QNetworkReply *reply = m_network.post(request, "{\"docs\":[" + document + "]}");
        connect(reply, &QNetworkReply::finished, this, [this, reply, id] {
            reply->deleteLater();
            if (reply->error() != QNetworkReply::NoError)
                return;
            QSqlQuery remove(m_database);
            remove.prepare(QStringLiteral("DELETE FROM records WHERE id = ?"));
            remove.addBindValue(id);
            remove.exec();
        });
    }

    QSqlDatabase m_database;
    QNetworkAccessManager m_network;
    QTimer m_timer;
};

} // namespace

// "bare", "library", "trickle": the library, recording a document every 30 s to the
// benchmark's server, or "plain": the same work without the library.
int runIdleProcess(const QString &kind)
{
    if (kind == QLatin1String("plain")) {
        PlainTrickle plain;
        return QCoreApplication::exec();
    }
    kl::telemetry::CouchDBBucket bucket;
    std::unique_ptr<kl::telemetry::Recorder> recorder;
    QTimer trickle;
    const bool trickles = kind == QLatin1String("trickle");
    if (kind == QLatin1String("library") || trickles) {
        bucket.setServer(QUrl(trickles ? benchServer() : QStringLiteral("http://127.0.0.1:9")));
        bucket.setDatabase(QStringLiteral("idle"));
        recorder = std::make_unique<kl::telemetry::Recorder>(); // starts the library
        recorder->setType(QStringLiteral("bench.idle"));
        recorder->setBucket(&bucket);
    }
    if (trickles) {
        QObject::connect(&trickle, &QTimer::timeout, recorder.get(),
                         &kl::telemetry::Recorder::record);
        trickle.start(kTrickleMs);
        recorder->record();
    }
    return QCoreApplication::exec();
}

// The rows of @p library against @p bare, for @p processes; wake-ups and CPU are those of the
// idle processes, lock takes and file accesses those of all in the cache directory.
void reportIdle(const QString &processes, const Measure &library, const Measure &bare)
{
    report(QStringLiteral("wake-ups per second, %1 (baseline: bare Qt)").arg(processes),
           QString::number(library.wakeUpsPerSecond, 'f', 2),
           QString::number(bare.wakeUpsPerSecond, 'f', 2),
           ratio(library.wakeUpsPerSecond, bare.wakeUpsPerSecond));
    report(QStringLiteral("CPU seconds per minute, %1 (baseline: bare Qt)").arg(processes),
           QString::number(library.cpuSeconds, 'f', 4), QString::number(bare.cpuSeconds, 'f', 4),
           ratio(library.cpuSeconds, bare.cpuSeconds));
    report(QStringLiteral("main-lock takes / cache-file reads and writes per minute, %1 "
                          "(baseline: bare Qt)")
               .arg(processes),
           QStringLiteral("%1 / %2").arg(thousands(library.lockTakesPerMinute),
                                         thousands(library.fileAccessesPerMinute)),
           QStringLiteral("%1 / %2").arg(thousands(bare.lockTakesPerMinute),
                                         thousands(bare.fileAccessesPerMinute)),
           ratio(library.fileAccessesPerMinute, bare.fileAccessesPerMinute));
}

void benchNeighbours(const QString &server)
{
    if (server.isEmpty() || !createDatabase(server, QStringLiteral("idle"))) {
        fail(QStringLiteral("no pouchdb-server to record to"));
        return;
    }
    const QString trickle = QStringLiteral("trickle");
    const Measure bare = measureIdle(QStringLiteral("bare"), kManyProcesses, trickle);
    const Measure library = measureIdle(QStringLiteral("library"), kManyProcesses, trickle);
    const Measure plain
        = measureIdle(QStringLiteral("bare"), kManyProcesses, QStringLiteral("plain"));
    reportIdle(QStringLiteral("%1 idle processes beside one recording every 30 s, whose lock "
                              "takes and file accesses count too")
                   .arg(kManyProcesses),
               library, bare);
    const QString baseline = QStringLiteral("a plain Qt program writing each record into an "
                                            "SQLite file and posting it with "
                                            "`QNetworkAccessManager`, beside bare Qt ones");
    report(QStringLiteral("wake-ups per second of the application recording every 30 s "
                          "(baseline: %1)")
               .arg(baseline),
           QString::number(library.recorderWakeUpsPerSecond, 'f', 2),
           QString::number(plain.recorderWakeUpsPerSecond, 'f', 2),
           ratio(library.recorderWakeUpsPerSecond, plain.recorderWakeUpsPerSecond));
    if (library.recorderSystemCalls < 0 || plain.recorderSystemCalls < 0) {
        note(QStringLiteral("no system-call rows: `perf stat -e raw_syscalls:sys_enter` did not "
                            "count (Debian's linux-perf, run as root)"));
        return;
    }
    constexpr int recordsInWindow = kWindowMs / kTrickleMs;
    report(QStringLiteral("system calls per record, recorded and published, of the application "
                          "recording every 30 s, flushes and publish attempts included "
                          "(baseline: %1)")
               .arg(baseline),
           thousands(double(library.recorderSystemCalls) / recordsInWindow),
           thousands(double(plain.recorderSystemCalls) / recordsInWindow),
           ratio(library.recorderSystemCalls, plain.recorderSystemCalls));
}

void benchIdle()
{
    for (const int count : { 1, kManyProcesses }) {
        const Measure bare = measureIdle(QStringLiteral("bare"), count);
        const Measure library = measureIdle(QStringLiteral("library"), count);
        reportIdle(count == 1 ? QStringLiteral("one idle process")
                              : QStringLiteral("%1 idle processes").arg(count),
                   library, bare);
    }
}

namespace {

// One start of @p program, as bench/startup.cpp reports it: ns to the event loop, resident kB,
// whether the cache file existed then.
struct Start
{
    qint64 ns = 0;
    qint64 residentKb = 0;
    bool cacheFileExisted = false;
};

Start startOnce(const QString &program, const QProcessEnvironment &base)
{
    QProcessEnvironment environment = base;
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    environment.insert(QStringLiteral("KORVEL_STARTED_NS"),
                       QString::number(qint64(now.tv_sec) * 1000000000 + now.tv_nsec));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, QStringList());
    if (!process.waitForFinished(30000) || process.exitCode() != 0) {
        fail(QStringLiteral("%1 did not start and quit").arg(program));
        return {};
    }
    const QList<QByteArray> fields = process.readAllStandardOutput().trimmed().split(' ');
    return { fields.value(0).toLongLong(), fields.value(1).toLongLong(), fields.value(2) == "1" };
}

} // namespace

void benchStartup()
{
    constexpr int kStarts = 21;
    QTemporaryDir home;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), home.filePath(QStringLiteral("cache")));
    environment.insert(QStringLiteral("TMPDIR"), home.path());
    QVector<qint64> bareNs, libraryNs, bareKb, libraryKb;
    int cacheFiles = 0;
    // Taken in turn, so that a busy moment of the machine weighs on both alike.
    for (int i = 0; i < kStarts; ++i) {
        const Start bare = startOnce(QStringLiteral(KORVEL_STARTUP_BARE_PROGRAM), environment);
        const Start library
            = startOnce(QStringLiteral(KORVEL_STARTUP_LIBRARY_PROGRAM), environment);
        bareNs << bare.ns;
        bareKb << bare.residentKb;
        libraryNs << library.ns;
        libraryKb << library.residentKb;
        cacheFiles += library.cacheFileExisted;
    }
    const qint64 ns = median(libraryNs), baseNs = median(bareNs);
    const qint64 kb = median(libraryKb), baseKb = median(bareKb);
    const QString what = QStringLiteral(", median of %1 starts (baseline: a bare "
                                        "QCoreApplication, started in turn)")
                             .arg(kStarts);
    report(
        QStringLiteral("start to the event loop with the first Recorder") + what,
        QStringLiteral("%1 (+%2)").arg(milliseconds(ns / 1e6), milliseconds((ns - baseNs) / 1e6)),
        milliseconds(baseNs / 1e6), double(ns) / qMax<qint64>(1, baseNs));
    report(QStringLiteral("resident memory at the event loop with the first Recorder") + what,
           QStringLiteral("%1 MB (+%2 MB)")
               .arg(kb / 1024.0, 0, 'f', 1)
               .arg((kb - baseKb) / 1024.0, 0, 'f', 1),
           QStringLiteral("%1 MB").arg(baseKb / 1024.0, 0, 'f', 1),
           double(kb) / qMax<qint64>(1, baseKb));
    note(QStringLiteral("start-up: the cache file existed at the event loop in %1 of %2 starts "
                        "(none records, so none flushes)")
             .arg(cacheFiles)
             .arg(kStarts));
}

} // namespace korvelbench
