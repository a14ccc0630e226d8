#include "telemetry/facts/contextrecorder.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"
#include "telemetry/facts/usagefacts_p.h"
#include "telemetry/recording/recorder_p.h"
#include "telemetry/runtime/consent_p.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QMutex>
#include <QTimer>

namespace kl::telemetry {

namespace {

constexpr qint64 kDayMs = 24 * 60 * 60 * 1000;

} // namespace

class ContextRecorderPrivate
{
public:
    explicit ContextRecorderPrivate(ContextRecorder *qq);
    QVariantMap allowedFacts() const;
    void recordIfDue();
    qint64 dueAt() const;

    ContextRecorder *q;
    // Read by record() on whatever thread records, changed by addSource().
    mutable QMutex m_mutex;
    QList<std::shared_ptr<const FactSource>> m_sources = FactSource::builtInSources();
    ContextRecorder::Schedule m_schedule = ContextRecorder::WhenTold;
    qint64 m_recordedAt = 0; // by the schedule, in this process
    // Looks from the event loop, once the properties a component sets are all set.
    QTimer m_look;
};

ContextRecorderPrivate::ContextRecorderPrivate(ContextRecorder *qq)
    : q(qq)
{
    m_look.setSingleShot(true);
    m_look.setTimerType(Qt::VeryCoarseTimer);
    QObject::connect(&m_look, &QTimer::timeout, q, [this] { recordIfDue(); });
}

QVariantMap ContextRecorderPrivate::allowedFacts() const
{
    QMutexLocker locker(&m_mutex);
    QVariantMap facts;
    for (const auto &source : m_sources) {
        if (!isLevelAllowed(source->level()))
            continue;
        if (const QJsonObject value = source->value(); !value.isEmpty())
            facts.insert(source->id(), value);
    }
    return facts;
}

// When the next record is due, in ms since the epoch; 0 for never.
qint64 ContextRecorderPrivate::dueAt() const
{
    if (m_schedule == ContextRecorder::EachStart)
        return m_recordedAt == 0 ? 1 : 0;
    const std::optional<ApplicationUsage> usage = currentCollectorPrivate()->usage();
    const qint64 last = qMax(m_recordedAt, usage ? usage->lastContext : 0);
    return last == 0 ? 1 : last + kDayMs;
}

void ContextRecorderPrivate::recordIfDue()
{
    if (m_schedule == ContextRecorder::WhenTold || !q->bucket()
        || !UsageCount::instance()->isCounted())
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    qint64 due = dueAt();
    if (due != 0 && due <= now) {
        if (RecorderPrivate::get(q)->refusal() == RecorderPrivate::Refusal::None) {
            q->record();
            currentCollectorPrivate()->noteContextRecorded(now);
        }
        m_recordedAt = now;
        due = dueAt();
    }
    if (due > now)
        m_look.start(int(qMin(due - now, kDayMs)));
}

ContextRecorder::ContextRecorder(QObject *parent)
    : Recorder(parent)
    , d(new ContextRecorderPrivate(this))
{
    RecorderPrivate::get(this)->m_moreMembers = [d = d] { return d->allowedFacts(); };
    setType(QStringLiteral("korvel.context"));
    setLevel(TelemetryConsent::Basic);
    setDescription(tr("Facts about the application and the system it runs on"));
    if (QCoreApplication::instance())
        countThisStart();
    else
        qAddPreRoutine(&countThisStart);
    const auto look = [this] { d->m_look.start(0); };
    connect(UsageCount::instance(), &UsageCount::counted, this, look);
    connect(this, &Recorder::bucketChanged, this, look);
    connect(this, &ContextRecorder::scheduleChanged, this, look);
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
    FactSource::addOrReplace(d->m_sources, std::move(source));
}

QVariantList ContextRecorder::describeSources() const
{
    QVariantList described;
    for (const auto &source : sources())
        described.append(
            QVariantMap { { QStringLiteral("id"), source->id() },
                          { QStringLiteral("description"), source->description() },
                          { QStringLiteral("level"), int(source->level()) },
                          { QStringLiteral("value"), source->value().toVariantMap() } });
    return described;
}

ContextRecorder::Schedule ContextRecorder::schedule() const
{
    return d->m_schedule;
}

void ContextRecorder::setSchedule(Schedule schedule)
{
    if (d->m_schedule == schedule)
        return;
    d->m_schedule = schedule;
    Q_EMIT scheduleChanged();
}

} // namespace kl::telemetry
