#include "telemetry/facts/factsource.h"

#include "telemetry/facts/usagefacts_p.h"
#include "telemetry/runtime/steadyfacts_p.h"

#include <QCoreApplication>
#include <QMutex>

#include <algorithm>

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

namespace {

QBasicMutex s_sourcesMutex;

// Under s_sourcesMutex.
QList<std::shared_ptr<const FactSource>> &sources()
{
    static QList<std::shared_ptr<const FactSource>> sources {
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

} // namespace

QList<std::shared_ptr<const FactSource>> FactSource::builtInSources()
{
    QMutexLocker locker(&s_sourcesMutex);
    return sources();
}

void FactSource::addToBuiltInSources(std::shared_ptr<const FactSource> source)
{
    QMutexLocker locker(&s_sourcesMutex);
    addOrReplace(sources(), std::move(source));
}

void FactSource::addOrReplace(QList<std::shared_ptr<const FactSource>> &sources,
                              std::shared_ptr<const FactSource> source)
{
    const auto sameId = std::find_if(sources.begin(), sources.end(), [&source](const auto &kept) {
        return kept->id() == source->id();
    });
    if (sameId != sources.end())
        *sameId = std::move(source);
    else
        sources.append(std::move(source));
}

} // namespace kl::telemetry
