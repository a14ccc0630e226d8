// One start of a program to its event loop, for the start-up row: built bare (QtCore only)
// and with the library, which makes its first Recorder before the loop runs. At the loop's
// first pass it prints the nanoseconds since KORVEL_STARTED_NS (CLOCK_MONOTONIC, set by the
// parent just before it started the program), its resident memory in kB, and whether the
// cache file exists (1) or not (0), then quits.
#ifdef KORVEL_STARTUP_LIBRARY
#include <telemetry/recording/couchdbbucket.h>
#include <telemetry/recording/recorder.h>
#endif

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <ctime>

namespace {

qint64 monotonicNs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

qint64 residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
#ifdef KORVEL_STARTUP_LIBRARY
    kl::telemetry::CouchDBBucket bucket;
    bucket.setServer(QUrl(QStringLiteral("http://127.0.0.1:9")));
    bucket.setDatabase(QStringLiteral("startup"));
    kl::telemetry::Recorder recorder; // starts the library
    recorder.setType(QStringLiteral("bench.startup"));
    recorder.setBucket(&bucket);
#endif
    QTimer::singleShot(0, &app, [&app] {
        const qint64 elapsedNs = monotonicNs() - qgetenv("KORVEL_STARTED_NS").toLongLong();
        const QString cache
            = qEnvironmentVariable("XDG_CACHE_HOME") + QStringLiteral("/KorvelTelemetry/korvel.db");
        std::printf("%lld %lld %d\n", elapsedNs, residentKb(), int(QFile::exists(cache)));
        std::fflush(stdout);
        app.quit();
    });
    return app.exec();
}
