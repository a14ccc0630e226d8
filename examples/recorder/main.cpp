// Records metrics into two CouchDB databases and publishes them before it ends.
//
//   korvel-recorder-example SERVER DATABASE [DATABASE...] [--count N]
//
// Each record carries the recorder's declared properties; the library queues it, caches it
// within a second and posts it to the server in batches of 25.
#include <telemetry/publishing/publisher.h>
#include <telemetry/recording/couchdbbucket.h>
#include <telemetry/recording/recorder.h>

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <memory>
#include <vector>

using namespace kl::telemetry;

// Further properties of a recorder become members of every record it makes.
class ActionRecorder : public Recorder
{
    Q_OBJECT
    Q_PROPERTY(QString action MEMBER m_action)
    Q_PROPERTY(int sequence MEMBER m_sequence)
    Q_PROPERTY(double durationMs MEMBER m_durationMs)

public:
    using Recorder::Recorder;

    QString m_action;
    int m_sequence = 0;
    double m_durationMs = 0;
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("server"), QStringLiteral("CouchDB server URL"));
    parser.addPositionalArgument(QStringLiteral("databases"), QStringLiteral("CouchDB databases"));
    parser.addOption({ QStringLiteral("count"), QStringLiteral("Records per database."),
                       QStringLiteral("n"), QStringLiteral("25") });
    parser.addOption({ QStringLiteral("timeout"),
                       QStringLiteral("Seconds to wait for publishing at most."),
                       QStringLiteral("seconds"), QStringLiteral("110") });
    parser.addHelpOption();
    parser.process(app);
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() < 2)
        parser.showHelp(1);
    const int count = parser.value(QStringLiteral("count")).toInt();

    std::vector<std::unique_ptr<CouchDBBucket>> buckets;
    for (const QString &database : arguments.mid(1)) {
        auto bucket = std::make_unique<CouchDBBucket>();
        bucket->setServer(QUrl(arguments.first()));
        bucket->setDatabase(database);
        buckets.push_back(std::move(bucket));
    }

    ActionRecorder recorder; // the first Recorder starts the library on this thread
    recorder.setType(QStringLiteral("example.action"));
    for (int sequence = 1; sequence <= count; ++sequence) {
        for (const auto &bucket : buckets) {
            recorder.setBucket(bucket.get());
            recorder.m_action = bucket->database();
            recorder.m_sequence = sequence;
            recorder.m_durationMs = sequence * 1.5;
            recorder.record();
        }
    }
    recorder.setBucket(nullptr);
    std::printf("recorded %d records\n", count * int(buckets.size()));
    std::fflush(stdout);

    const PublishOutcome outcome = currentPublisher()->publishPending(
        parser.value(QStringLiteral("timeout")).toInt() * 1000);
    std::printf("published %d, left: %d\n", outcome.published, outcome.remaining);
    return outcome.remaining == 0 ? 0 : 1;
}

#include "main.moc"
