#include "telemetry/facts/usagefacts_p.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"
#include "telemetry/runtime/consent_p.h"

#include <QCoreApplication>
#include <QDateTime>

#include <mutex>

namespace kl::telemetry {

namespace {

QString isoTime(qint64 msecsSinceEpoch)
{
    return QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch, Qt::UTC).toString(Qt::ISODate);
}

} // namespace

QString UsageFacts::id() const
{
    return QStringLiteral("usage");
}

QString UsageFacts::description() const
{
    return QCoreApplication::translate("KorvelTelemetry",
                                       "How often the application was started, and for how long "
                                       "it has been used");
}

TelemetryConsent::Level UsageFacts::level() const
{
    return TelemetryConsent::Usage;
}

QJsonObject UsageFacts::value() const
{
    const std::optional<ApplicationUsage> usage = currentCollectorPrivate()->usage();
    if (!usage)
        return {};
    return { { QStringLiteral("startCount"), usage->startCount },
             { QStringLiteral("usageSeconds"), usage->usageMs / 1000 },
             { QStringLiteral("firstStart"), isoTime(usage->firstStart) },
             { QStringLiteral("lastStart"), isoTime(usage->lastStart) } };
}

UsageCount *UsageCount::instance()
{
    static auto *count = new UsageCount; // emitted from the flush, which may outlive statics
    return count;
}

bool UsageCount::isCounted() const
{
    return m_counted.load();
}

void countThisStart()
{
    static std::once_flag once;
    std::call_once(once, [] {
        const QString governing = governingApplication();
        currentCollectorPrivate()->countUsage(
            governing.isEmpty() ? defaultConsentApplication() : governing, [] {
                UsageCount::instance()->m_counted.store(true);
                Q_EMIT UsageCount::instance()->counted();
            });
    });
}

} // namespace kl::telemetry
