#include "telemetry/recording/metriccatalogue_p.h"

#include "telemetry/recording/recorder_p.h"
#include "telemetry/runtime/consent_p.h"
#include "telemetry/runtime/runtime.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QThread>

#include <algorithm>

namespace kl::telemetry {

MetricCatalogue *MetricCatalogue::instance()
{
    static MetricCatalogue *catalogue = [] {
        auto *made = new MetricCatalogue;
        if (QCoreApplication::instance())
            made->moveToThread(QCoreApplication::instance()->thread());
        return made;
    }();
    return catalogue;
}

namespace {

QByteArray exampleOf(const Recorder *recorder)
{
    return RecorderPrivate::get(recorder)
        ->document(QStringLiteral("example"), QDateTime::currentMSecsSinceEpoch())
        .toJson(QJsonDocument::Indented);
}

} // namespace

void MetricCatalogue::enter(Recorder *recorder)
{
    const QString type = recorder->type();
    const QString description = RecorderPrivate::get(recorder)->m_description;
    if (description.isEmpty())
        tellUndescribed(type);
    {
        QMutexLocker locker(&m_mutex);
        m_entries.insert(type, { recorder->level(), description, recorder, exampleOf(recorder) });
    }
    QMetaObject::invokeMethod(this, &MetricCatalogue::changed, Qt::QueuedConnection);
}

// A host that asks for consent describes every type it records, for its consent dialog; in a
// debug build it hears of those it forgot.
void MetricCatalogue::tellUndescribed(const QString &type) const
{
#ifdef QT_DEBUG
    QMutexLocker locker(&m_mutex);
    if (!governingApplication().isEmpty() && !m_entries.contains(type))
        qCWarning(lcTelemetry) << "Metric type" << type
                               << "is recorded without a description for the user";
#else
    Q_UNUSED(type)
#endif
}

QVariantList MetricCatalogue::metrics() const
{
    QMutexLocker locker(&m_mutex);
    QVariantList metrics;
    for (auto entry = m_entries.cbegin(); entry != m_entries.cend(); ++entry) {
        const Recorder *recorder = entry->recorder;
        const bool here = recorder && recorder->thread() == QThread::currentThread();
        metrics.append(QVariantMap {
            { QStringLiteral("type"), entry.key() },
            { QStringLiteral("level"), entry->level },
            { QStringLiteral("description"), entry->description },
            { QStringLiteral("described"), !entry->description.isEmpty() },
            { QStringLiteral("example"),
              QString::fromUtf8(here ? exampleOf(recorder) : entry->example) },
        });
    }
    std::sort(metrics.begin(), metrics.end(), [](const QVariant &a, const QVariant &b) {
        const QVariantMap left = a.toMap(), right = b.toMap();
        const auto key = [](const QVariantMap &metric) {
            return qMakePair(metric.value(QStringLiteral("level")).toInt(),
                             metric.value(QStringLiteral("type")).toString());
        };
        return key(left) < key(right);
    });
    return metrics;
}

} // namespace kl::telemetry
