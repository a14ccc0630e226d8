// The idle rows: what processes that have built their Recorder and record nothing cost the
// desktop, against bare Qt applications doing the same nothing in the same run, alone and
// beside an application that records a document every 30 s into the same cache. Wake-ups are
// the context switches of every thread (a thread that wakes from a sleep switches once when it
// sleeps again); file accesses and lock takes are what inotify sees in the cache directory.
#include "performance.h"

#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/recording/recorder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <ctime>
#include <memory>
#include <vector>

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

struct Measure
{
    double wakeUpsPerSecond = 0;
    double cpuSeconds = 0;
    qint64 fileAccessesPerMinute = 0;
    qint64 lockTakesPerMinute = 0;
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
// well before an application that records into it every 30 s when @p trickling; their usage
// alone is measured, the file accesses and lock takes of all.
Measure measureIdle(const QString &kind, int count, bool trickling = false)
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
    std::unique_ptr<QProcess> trickler;
    if (trickling) {
        // Once the others rest: one of them, not the trickler, watches for the rest of them.
        QThread::msleep(kFirstAttemptDoneMs);
        trickler = startIdleProcess(QStringLiteral("trickle"), environment);
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
    const TaskUsage before = total();
    QThread::msleep(kWindowMs);
    const Usage spent = usageSince(before, total());
    watch.drain(&measure.fileAccessesPerMinute, &measure.lockTakesPerMinute);
    measure.wakeUpsPerSecond = spent.switches / (kWindowMs / 1000.0);
    measure.cpuSeconds = spent.cpuNs / 1e9;
    if (trickler)
        processes.push_back(std::move(trickler));
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

// "bare", "library", or "trickle": the library, recording a document every 30 s to the
// benchmark's server.
int runIdleProcess(const QString &kind)
{
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
    const Measure bare = measureIdle(QStringLiteral("bare"), kManyProcesses, true);
    const Measure library = measureIdle(QStringLiteral("library"), kManyProcesses, true);
    reportIdle(QStringLiteral("%1 idle processes beside one recording every 30 s, whose lock "
                              "takes and file accesses count too")
                   .arg(kManyProcesses),
               library, bare);
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
