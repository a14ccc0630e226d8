#include "telemetry/facts/factsource.h"

#include "telemetry/facts/usagefacts_p.h"

#include "telemetry/korveltelemetry_version.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QLocale>
#include <QSysInfo>
#include <QThread>

#include <functional>
#include <mutex>

namespace kl::telemetry {

namespace {

// Facts that do not change while the process runs: read once, when first asked.
class SteadyFacts : public FactSource
{
public:
    SteadyFacts(const char *id, const char *description, std::function<QJsonObject()> read)
        : m_id(QLatin1String(id))
        , m_description(description)
        , m_read(std::move(read))
    {
    }

    QString id() const override { return m_id; }
    QString description() const override
    {
        return QCoreApplication::translate("KorvelTelemetry", m_description);
    }
    TelemetryConsent::Level level() const override { return TelemetryConsent::Basic; }
    QJsonObject value() const override
    {
        std::call_once(m_once, [this] { m_value = m_read(); });
        return m_value;
    }

private:
    const QString m_id;
    const char *const m_description;
    const std::function<QJsonObject()> m_read;
    mutable std::once_flag m_once;
    mutable QJsonObject m_value;
};

QJsonObject applicationFacts()
{
    return { { QStringLiteral("name"), QCoreApplication::applicationName() },
             { QStringLiteral("version"), QCoreApplication::applicationVersion() },
             { QStringLiteral("organization"), QCoreApplication::organizationName() },
             { QStringLiteral("library"), QStringLiteral(KORVELTELEMETRY_VERSION_STRING) } };
}

QJsonObject platformFacts()
{
    return { { QStringLiteral("os"), QSysInfo::productType() },
             { QStringLiteral("osVersion"), QSysInfo::productVersion() },
             { QStringLiteral("kernel"), QSysInfo::kernelType() },
             { QStringLiteral("kernelVersion"), QSysInfo::kernelVersion() },
             { QStringLiteral("arch"), QSysInfo::currentCpuArchitecture() },
             { QStringLiteral("cpus"), QThread::idealThreadCount() } };
}

QJsonObject qtFacts()
{
    return { { QStringLiteral("runtime"), QLatin1String(qVersion()) },
             { QStringLiteral("build"), QStringLiteral(QT_VERSION_STR) } };
}

// The codes come from the locale's name ("de_CH"), which Qt 5 and Qt 6 write alike.
QJsonObject localeFacts()
{
    const QLocale locale;
    const QStringList codes = locale.name().split(QLatin1Char('_'));
    return { { QStringLiteral("language"), codes.value(0) },
             { QStringLiteral("territory"), codes.value(1) },
             { QStringLiteral("uiLanguages"), QJsonArray::fromStringList(locale.uiLanguages()) } };
}

} // namespace

FactSource::~FactSource() = default;

QList<std::shared_ptr<const FactSource>> FactSource::builtInSources()
{
    static const QList<std::shared_ptr<const FactSource>> sources {
        std::make_shared<SteadyFacts>(
            "application",
            QT_TRANSLATE_NOOP("KorvelTelemetry",
                              "The application's name and version, and the telemetry library's"),
            applicationFacts),
        std::make_shared<SteadyFacts>(
            "platform",
            QT_TRANSLATE_NOOP("KorvelTelemetry",
                              "The operating system and its version, the processor's kind and "
                              "how many cores it has"),
            platformFacts),
        std::make_shared<SteadyFacts>(
            "qt", QT_TRANSLATE_NOOP("KorvelTelemetry", "The version of Qt the application runs on"),
            qtFacts),
        std::make_shared<SteadyFacts>(
            "locale",
            QT_TRANSLATE_NOOP("KorvelTelemetry", "The language and region the application uses"),
            localeFacts),
        std::make_shared<UsageFacts>(),
    };
    return sources;
}

} // namespace kl::telemetry
