#include "telemetry/facts/contextrecorder.h"

#include "telemetry/recording/recorder_p.h"
#include "telemetry/runtime/consent_p.h"

#include <QMutex>

#include <algorithm>

namespace kl::telemetry {

class ContextRecorderPrivate
{
public:
    QVariantMap allowedFacts() const;

    // Read by record() on whatever thread records, changed by addSource().
    mutable QMutex m_mutex;
    QList<std::shared_ptr<const FactSource>> m_sources = FactSource::builtInSources();
};

QVariantMap ContextRecorderPrivate::allowedFacts() const
{
    QMutexLocker locker(&m_mutex);
    QVariantMap facts;
    for (const auto &source : m_sources) {
        if (isLevelAllowed(source->level()))
            facts.insert(source->id(), source->value());
    }
    return facts;
}

ContextRecorder::ContextRecorder(QObject *parent)
    : Recorder(parent)
    , d(new ContextRecorderPrivate)
{
    RecorderPrivate::get(this)->m_moreMembers = [d = d] { return d->allowedFacts(); };
    setType(QStringLiteral("korvel.context"));
    setLevel(TelemetryConsent::Basic);
    setDescription(tr("Facts about the application and the system it runs on"));
}

ContextRecorder::~ContextRecorder()
{
    RecorderPrivate::get(this)->m_moreMembers = nullptr;
    delete d;
}

QList<std::shared_ptr<const FactSource>> ContextRecorder::sources() const
{
    QMutexLocker locker(&d->m_mutex);
    return d->m_sources;
}

void ContextRecorder::addSource(std::shared_ptr<const FactSource> source)
{
    QMutexLocker locker(&d->m_mutex);
    const auto sameId
        = std::find_if(d->m_sources.begin(), d->m_sources.end(),
                       [&source](const auto &kept) { return kept->id() == source->id(); });
    if (sameId != d->m_sources.end())
        *sameId = std::move(source);
    else
        d->m_sources.append(std::move(source));
}

} // namespace kl::telemetry
