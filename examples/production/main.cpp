// What an application sets up before it ships telemetry: credentials for a server that
// requires a login, a private CA, the user's consent, a bound on the cache, and a status the
// application can show. Records three errors, then quits once they have arrived.
//
//   korvel-production-example SERVER DATABASE USER PASSWORD [CA_FILE]
#include <telemetry/cache/datacollector.h>
#include <telemetry/publishing/publisher.h>
#include <telemetry/recording/couchdbbucket.h>
#include <telemetry/recording/recorder.h>
#include <telemetry/status/telemetrystatus.h>

#include <QCoreApplication>
#include <QSslConfiguration>

class ErrorRecorder : public kl::telemetry::Recorder
{
    Q_OBJECT
    Q_PROPERTY(QString code MEMBER m_code)

public:
    QString m_code;
};

int main(int argc, char **argv)
{
    using namespace kl::telemetry;
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 5) {
        qCritical("usage: korvel-production-example SERVER DATABASE USER PASSWORD [CA_FILE]");
        return 1;
    }

    // The user's answer, from the application's settings; off would record nothing and, at
    // start-up, create no cache file.
    TelemetryPolicy::setEnabled(true);

    // A private CA, trusted before the first upload: open connections keep their settings.
    if (arguments.size() > 5) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(arguments.at(5));
        QSslConfiguration::setDefaultConfiguration(tls);
    }

    CouchDBBucket bucket;
    bucket.setServer(QUrl(arguments.at(1))); // https://couch.example.com in production
    bucket.setDatabase(arguments.at(2)); // it must exist, with the user among its members
    bucket.setUserName(arguments.at(3)); // kept in memory, never written to the cache file
    bucket.setPassword(arguments.at(4));

    ErrorRecorder errors; // the first Recorder starts the library on this thread
    errors.setType(QStringLiteral("app.error"));
    errors.setBucket(&bucket);
    currentDataCollector()->setMaxCachedRecords(20000); // past it the oldest records go

    TelemetryStatus *status = currentTelemetryStatus();
    QObject::connect(status, &TelemetryStatus::lastErrorChanged, [status] {
        if (status->lastErrorStatus() == 401 || status->lastErrorStatus() == 403)
            qWarning() << "telemetry refused, check the credentials:" << status->lastError();
    });
    QObject::connect(status, &TelemetryStatus::batchPublished,
                     [](const QString &destination, int stored) {
                         qInfo("%d records stored in %s", stored, qPrintable(destination));
                     });

    for (const char *code : { "E_DISK_FULL", "E_TIMEOUT", "E_PARSE" }) {
        errors.m_code = QString::fromLatin1(code);
        errors.record();
    }
    return currentPublisher()->publishPending(110000).remaining == 0 ? 0 : 1;
}

#include "main.moc"
