// The QML module "Korvel.Telemetry 1.0": applications import it and declare Recorders and
// buckets without registering anything in C++.
#include "telemetry/facts/contextrecorder.h"
#include "telemetry/recording/couchdbbucket.h"
#include "telemetry/recording/recorder.h"
#include "telemetry/recording/telemetryconsent.h"
#include "telemetry/status/sentrecordsmodel.h"
#include "telemetry/status/telemetrystatus.h"

#include <QQmlExtensionPlugin>
#include <QtQml>

namespace kl::telemetry {

class KorvelTelemetryPlugin : public QQmlExtensionPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QQmlExtensionInterface_iid)

public:
    void registerTypes(const char *uri) override
    {
        qmlRegisterType<Recorder>(uri, 1, 0, "Recorder");
        qmlRegisterType<ContextRecorder>(uri, 1, 0, "ContextRecorder");
        qmlRegisterType<CouchDBBucket>(uri, 1, 0, "CouchDBBucket");
        qmlRegisterType<TelemetryConsent>(uri, 1, 0, "TelemetryConsent");
        qmlRegisterType<SentRecordsModel>(uri, 1, 0, "SentRecordsModel");
        qmlRegisterUncreatableType<AbstractBucket>(uri, 1, 0, "AbstractBucket",
                                                   QStringLiteral("Use CouchDBBucket"));
        // The process's one status, which C++ reaches through currentTelemetryStatus().
        qmlRegisterSingletonType<TelemetryStatus>(
            uri, 1, 0, "TelemetryStatus", [](QQmlEngine *, QJSEngine *) -> QObject * {
                TelemetryStatus *status = currentTelemetryStatus();
                QQmlEngine::setObjectOwnership(status, QQmlEngine::CppOwnership);
                return status;
            });
    }
};

} // namespace kl::telemetry

#include "korveltelemetryplugin.moc"
