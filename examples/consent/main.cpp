// A Qt Quick application that asks its users before it records anything, lets them change
// their mind, shows them what servers stored and deletes it on request. Main.qml holds the
// pages; Telemetry.qml the consent and the described metric types.
//
//   korvel-consent-example [SERVER [DATABASE]]
#include <telemetry/cache/datacollector.h>
#include <telemetry/recording/recorder.h>

#include <QDateTime>
#include <QGuiApplication>
#include <QJsonObject>
#include <QQmlApplicationEngine>
#include <QQmlContext>

using namespace kl::telemetry;

int main(int argc, char **argv)
{
    const qint64 startedAt = QDateTime::currentMSecsSinceEpoch();
    QGuiApplication app(argc, argv);
    // The consent is about "example.org/consent-example".
    app.setOrganizationDomain(QStringLiteral("example.org"));
    app.setApplicationName(QStringLiteral("consent-example"));

    // Every record passes here before it is kept: start-up times leave rounded to 100 ms.
    TelemetryPolicy::setRecordFilter([](QJsonObject &record) {
        if (record.value(QLatin1String("type")) == QLatin1String("example.startup")) {
            const int milliseconds = record.value(QLatin1String("milliseconds")).toInt();
            record.insert(QLatin1String("milliseconds"), (milliseconds + 50) / 100 * 100);
        }
        return true;
    });
    // What servers stored stays in the list of sent records for a week.
    currentDataCollector()->setSentRecordsDays(7);

    const QStringList arguments = app.arguments();
    QQmlApplicationEngine engine;
    QQmlContext *context = engine.rootContext();
    context->setContextProperty(QStringLiteral("startedAt"), double(startedAt));
    context->setContextProperty(QStringLiteral("serverUrl"),
                                QUrl(arguments.value(1, QStringLiteral("http://127.0.0.1:5984"))));
    context->setContextProperty(QStringLiteral("databaseName"),
                                arguments.value(2, QStringLiteral("consent-example")));
    engine.load(QUrl(QStringLiteral("qrc:/Main.qml")));
    return engine.rootObjects().isEmpty() ? 1 : app.exec();
}
