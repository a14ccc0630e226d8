// The quick start of the README, as a whole program: records one click into the database
// "metrics" of a CouchDB server (the database must exist), then quits once it has arrived.
//
//   korvel-quickstart [SERVER]   (default http://127.0.0.1:5984)
#include "../common/untilpublished.h"

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

    // A real application runs until its user quits; this one stops once the click is stored.
    quitWhenEverythingIsPublished(&app);
    return app.exec(); // the library flushes and publishes from this event loop
}

#include "main.moc"
