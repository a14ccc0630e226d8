// The "screens" facts, which need Qt GUI: the library itself stays on Qt Core, SQL and Network.
// Loading the QML module adds them to the built-in sources where a QGuiApplication runs.
#include "telemetry/facts/factsource.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QJsonArray>
#include <QScreen>

namespace kl::telemetry {

namespace {

// Read on the calling thread, as context records are made: on the application's.
class ScreenFacts : public FactSource
{
public:
    QString id() const override { return QStringLiteral("screens"); }
    QString description() const override
    {
        return QCoreApplication::translate("KorvelTelemetry",
                                           "How many screens there are, their sizes and pixel "
                                           "densities");
    }
    TelemetryConsent::Level level() const override { return TelemetryConsent::Detailed; }
    QJsonObject value() const override
    {
        QJsonArray screens;
        for (const QScreen *screen : QGuiApplication::screens())
            screens.append(
                QJsonObject { { QStringLiteral("width"), screen->size().width() },
                              { QStringLiteral("height"), screen->size().height() },
                              { QStringLiteral("devicePixelRatio"), screen->devicePixelRatio() } });
        return { { QStringLiteral("count"), screens.size() },
                 { QStringLiteral("screens"), screens } };
    }
};

void addScreenFacts()
{
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        FactSource::addToBuiltInSources(std::make_shared<ScreenFacts>());
}

// The module is loaded as an application imports it, past the application object's making.
Q_CONSTRUCTOR_FUNCTION(addScreenFacts)

} // namespace

} // namespace kl::telemetry
