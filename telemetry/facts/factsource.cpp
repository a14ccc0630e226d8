#include "telemetry/facts/factsource.h"

#include "telemetry/facts/usagefacts_p.h"
#include "telemetry/runtime/steadyfacts_p.h"

#include <QCoreApplication>

namespace kl::telemetry {

namespace {

// Facts that do not change while the process runs: read once, when first asked.
class SteadyFacts : public FactSource
{
public:
    SteadyFacts(const char *id, const char *description)
        : m_id(QLatin1String(id))
        , m_description(description)
    {
    }

    QString id() const override { return m_id; }
    QString description() const override
    {
        return QCoreApplication::translate("KorvelTelemetry", m_description);
    }
    TelemetryConsent::Level level() const override { return TelemetryConsent::Basic; }
    QJsonObject value() const override { return steadyFacts(m_id); }

private:
    const QString m_id;
    const char *const m_description;
};

} // namespace

FactSource::~FactSource() = default;

QList<std::shared_ptr<const FactSource>> FactSource::builtInSources()
{
    static const QList<std::shared_ptr<const FactSource>> sources {
        std::make_shared<SteadyFacts>(
            "application",
            QT_TRANSLATE_NOOP("KorvelTelemetry",
                              "The application's name and version, and the telemetry library's")),
        std::make_shared<SteadyFacts>(
            "platform",
            QT_TRANSLATE_NOOP("KorvelTelemetry",
                              "The operating system and its version, the processor's kind and "
                              "how many cores it has")),
        std::make_shared<SteadyFacts>(
            "qt",
            QT_TRANSLATE_NOOP("KorvelTelemetry", "The version of Qt the application runs on")),
        std::make_shared<SteadyFacts>(
            "locale",
            QT_TRANSLATE_NOOP("KorvelTelemetry", "The language and region the application uses")),
        std::make_shared<UsageFacts>(),
    };
    return sources;
}

} // namespace kl::telemetry
