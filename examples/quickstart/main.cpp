// The quick start of the README, as a whole program: records one click into the database
// "metrics" of a CouchDB server (the database must exist), then quits once it has arrived.
//
//   korvel-quickstart [SERVER]   (default http://127.0.0.1:5984)
#include <telemetry/publishing/publisher.h>
#include <telemetry/recording/couchdbbucket.h>
#include <telemetry/recording/recorder.h>

#include <QCoreApplication>

class ClickRecorder : public kl::telemetry::Recorder
{
    Q_OBJECT
    Q_PROPERTY(QString button MEMBER m_button) // declared properties become members

public:
    QString m_button;
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    kl::telemetry::CouchDBBucket bucket;
    bucket.setServer(QUrl(app.arguments().value(1, QStringLiteral("http://127.0.0.1:5984"))));
    bucket.setDatabase(QStringLiteral("metrics"));

    ClickRecorder clicks; // the first Recorder starts the library on this thread
    clicks.setType(QStringLiteral("ui.click"));
    clicks.setBucket(&bucket);
    clicks.m_button = QStringLiteral("save");
    clicks.record(); // {"_id": ..., "button": "save", "timestamp": ..., "type": "ui.click"}

    // A real application runs its event loop, from which the library flushes and publishes,
    // until its user quits. This one ends at once, so it publishes first, 30 s at most.
    const auto outcome = kl::telemetry::currentPublisher()->publishPending(30000);
    return outcome.remaining == 0 ? 0 : 1;
}

#include "main.moc"
