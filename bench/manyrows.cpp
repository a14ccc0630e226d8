// Many destinations with small backlogs: how long the first record of a new destination holds
// the caller, and how long the records of many destinations take to reach the server, each
// against the same records of one destination in the same run.
#include "performance.h"

#include <telemetry/cache/datacollector.h>
#include <telemetry/recording/couchdbbucket.h>
#include <telemetry/recording/recorder.h>

#include <QElapsedTimer>

#include <memory>
#include <vector>

namespace korvelbench {

namespace {

class CountRecorder : public kl::telemetry::Recorder
{
    Q_OBJECT
    Q_PROPERTY(int n MEMBER m_n)

public:
    int m_n = 0;
};

struct Run
{
    double longestRecordMs = 0; // the longest record() among the first of each destination
    double drainSeconds = -1; // from the first record until nothing is queued or cached
};

bool drained()
{
    kl::telemetry::DataCollector *collector = kl::telemetry::currentDataCollector();
    return collector->getQueuedElementsCount() == 0 && collector->getCachedElementsCount() == 0;
}

// Records @p perDestination records for each bucket, the event loop running between records as
// an application's would, and waits for them to leave the cache.
Run recordAndDrain(const std::vector<std::unique_ptr<kl::telemetry::CouchDBBucket>> &buckets,
                   int perDestination, int capMs)
{
    CountRecorder recorder;
    recorder.setType(QStringLiteral("bench.many"));
    Run run;
    QElapsedTimer clock;
    clock.start();
    for (int round = 0; round < perDestination; ++round) {
        for (size_t i = 0; i < buckets.size(); ++i) {
            recorder.setBucket(buckets[i].get());
            recorder.m_n = round;
            QElapsedTimer call;
            call.start();
            recorder.record();
            if (round == 0)
                run.longestRecordMs = qMax(run.longestRecordMs, call.nsecsElapsed() / 1e6);
            if (i % 50 == 49)
                spin(1);
        }
    }
    recorder.setBucket(nullptr);
    if (spinUntil(drained, capMs))
        run.drainSeconds = clock.elapsed() / 1000.0;
    return run;
}

std::vector<std::unique_ptr<kl::telemetry::CouchDBBucket>>
makeBuckets(const QString &server, const QString &prefix, int count)
{
    std::vector<std::unique_ptr<kl::telemetry::CouchDBBucket>> buckets;
    for (int i = 0; i < count; ++i) {
        const QString database = QStringLiteral("%1_%2").arg(prefix).arg(i);
        if (!createDatabase(server, database))
            return {};
        buckets.push_back(std::make_unique<kl::telemetry::CouchDBBucket>());
        buckets.back()->setServer(QUrl(server));
        buckets.back()->setDatabase(database);
    }
    return buckets;
}

void benchMany(const QString &server, int destinations, int perDestination, int capMs)
{
    const QString shape
        = QStringLiteral("%1 destinations x %2").arg(destinations).arg(perDestination);
    const auto one = makeBuckets(server, QStringLiteral("many_one_%1").arg(destinations), 1);
    const auto many
        = makeBuckets(server, QStringLiteral("many_%1").arg(destinations), destinations);
    if (one.empty() || many.empty()) {
        fail(QStringLiteral("%1: the databases could not be made").arg(shape));
        return;
    }
    const Run baseline = recordAndDrain(one, destinations * perDestination, capMs);
    const Run measured = recordAndDrain(many, perDestination, capMs);
    report(QStringLiteral("%1: longest record() of a new destination").arg(shape),
           milliseconds(measured.longestRecordMs),
           milliseconds(baseline.longestRecordMs) + QStringLiteral(" (one destination)"),
           measured.longestRecordMs / qMax(0.001, baseline.longestRecordMs));
    if (baseline.drainSeconds < 0 || measured.drainSeconds < 0) {
        fail(QStringLiteral("%1: not drained within %2 s (%3)")
                 .arg(shape)
                 .arg(capMs / 1000)
                 .arg(baseline.drainSeconds < 0 ? QStringLiteral("one destination")
                                                : QStringLiteral("many destinations")));
        return;
    }
    report(QStringLiteral("%1: drained in").arg(shape),
           QStringLiteral("%1 s").arg(measured.drainSeconds, 0, 'f', 1),
           QStringLiteral("%1 s (the same records, one destination)")
               .arg(baseline.drainSeconds, 0, 'f', 1),
           measured.drainSeconds / baseline.drainSeconds);
}

} // namespace

void benchTenThousandDestinations(const QString &server)
{
    benchMany(server, 10000, 1, 15 * 60 * 1000);
}

void benchManyDestinations(const QString &server)
{
    benchMany(server, 300, 2, 90000);
    benchTenThousandDestinations(server);
}

} // namespace korvelbench

#include "manyrows.moc"
