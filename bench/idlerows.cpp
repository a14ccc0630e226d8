// The idle rows: what processes that have built their Recorder and record nothing cost the
// desktop, against bare Qt applications doing the same nothing in the same run. Wake-ups are
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
constexpr int kWindowMs = 60000;
constexpr int kManyProcesses = 20;

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

Usage usageOf(qint64 pid)
{
    Usage usage;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(tasks.filePath(task + QStringLiteral("/status")));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches")
                || line.startsWith("nonvoluntary_ctxt_switches"))
                usage.switches += field(line);
        }
        // Nanoseconds on the CPU: clock ticks are too coarse for a process that sleeps.
        QFile schedstat(tasks.filePath(task + QStringLiteral("/schedstat")));
        if (schedstat.open(QIODevice::ReadOnly))
            usage.cpuNs += schedstat.readAll().split(' ').value(0).toLongLong();
    }
    return usage;
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

// Runs @p count idle processes of @p kind ("library" or "bare") sharing one cache home.
Measure measureIdle(const QString &kind, int count)
{
    QTemporaryDir home;
    const QString cacheDirectory = home.filePath(QStringLiteral("cache/KorvelTelemetry"));
    DirectoryWatch watch(cacheDirectory);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), home.filePath(QStringLiteral("cache")));
    environment.insert(QStringLiteral("TMPDIR"), home.path());
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int i = 0; i < count; ++i) {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QCoreApplication::applicationFilePath(), { QStringLiteral("--idle"), kind });
        process->waitForStarted();
        processes.push_back(std::move(process));
    }
    QThread::msleep(kWarmUpMs);
    const auto total = [&processes] {
        Usage usage;
        for (const auto &process : processes)
            usage += usageOf(process->processId());
        return usage;
    };
    qint64 startUp = 0;
    watch.drain(&startUp, &startUp);
    Measure measure;
    const Usage before = total();
    QThread::msleep(kWindowMs);
    const Usage after = total();
    watch.drain(&measure.fileAccessesPerMinute, &measure.lockTakesPerMinute);
    measure.wakeUpsPerSecond = (after.switches - before.switches) / (kWindowMs / 1000.0);
    measure.cpuSeconds = (after.cpuNs - before.cpuNs) / 1e9;
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

int runIdleProcess(const QString &kind)
{
    kl::telemetry::CouchDBBucket bucket;
    std::unique_ptr<kl::telemetry::Recorder> recorder;
    if (kind == QLatin1String("library")) {
        bucket.setServer(QUrl(QStringLiteral("http://127.0.0.1:9")));
        bucket.setDatabase(QStringLiteral("idle"));
        recorder = std::make_unique<kl::telemetry::Recorder>(); // starts the library
        recorder->setType(QStringLiteral("bench.idle"));
        recorder->setBucket(&bucket);
    }
    return QCoreApplication::exec();
}

void benchIdle()
{
    for (const int count : { 1, kManyProcesses }) {
        const Measure bare = measureIdle(QStringLiteral("bare"), count);
        const Measure library = measureIdle(QStringLiteral("library"), count);
        const QString processes = count == 1 ? QStringLiteral("one idle process")
                                             : QStringLiteral("%1 idle processes").arg(count);
        report(QStringLiteral("wake-ups per second, %1 (baseline: bare Qt)").arg(processes),
               QString::number(library.wakeUpsPerSecond, 'f', 1),
               QString::number(bare.wakeUpsPerSecond, 'f', 1),
               ratio(library.wakeUpsPerSecond, bare.wakeUpsPerSecond));
        report(QStringLiteral("CPU seconds per minute, %1 (baseline: bare Qt)").arg(processes),
               QString::number(library.cpuSeconds, 'f', 4),
               QString::number(bare.cpuSeconds, 'f', 4),
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
