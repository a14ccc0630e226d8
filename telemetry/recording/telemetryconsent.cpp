#include "telemetry/recording/telemetryconsent.h"
#include "telemetry/recording/telemetryconsent_p.h"

#include "telemetry/cache/consentstore_p.h"
#include "telemetry/cache/datacollector.h"
#include "telemetry/cache/datacollector_p.h"
#include "telemetry/recording/metriccatalogue_p.h"
#include "telemetry/recording/recorder_p.h"
#include "telemetry/runtime/runtime.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTimer>

#include <algorithm>

namespace kl::telemetry {

namespace {
QPointer<ConsentBook> s_book;
} // namespace

ConsentBook *ConsentBook::instance()
{
    if (!s_book)
        s_book = new ConsentBook;
    return s_book;
}

ConsentBook::ConsentBook()
    : QObject(QCoreApplication::instance())
{
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, [this] {
        watchMarker();
        readAgain();
    });
    watchMarker();
}

// The marker must exist to be watched. A user who empties the cache directory takes it along;
// the change that tells so makes it anew.
void ConsentBook::watchMarker()
{
    const QString marker = consentChangeMarkerPath();
    if (!QFile::exists(marker))
        QFile(marker).open(QIODevice::WriteOnly | QIODevice::Append);
    if (!m_watcher.files().contains(marker) && !m_watcher.addPath(marker))
        qCWarning(lcTelemetry) << "Changes of the user's consent in other processes will not be "
                                  "seen: the file that tells of them cannot be watched";
}

void ConsentBook::add(TelemetryConsent *consent)
{
    m_consents.append(consent);
}

void ConsentBook::remove(TelemetryConsent *consent)
{
    m_consents.removeOne(consent);
}

ConsentDecision ConsentBook::decisionOf(const QString &application)
{
    const auto known = m_decisions.constFind(application);
    if (known != m_decisions.constEnd())
        return *known;
    const std::optional<ConsentDecision> stored = readStoredDecision(application);
    if (!stored)
        readAgainSoon();
    return *m_decisions.insert(application, stored.value_or(ConsentDecision {}));
}

void ConsentBook::govern(const QString &application)
{
    governRecords(application, decisionOf(application));
}

void ConsentBook::decide(const QString &application, ConsentDecision decision, TelemetryConsent *by)
{
    apply(application, decision);
    DataCollectorPrivate *collector = currentCollectorPrivate();
    collector->runHostCall(
        [collector, application, decision] {
            return collector->storeConsent(application, decision).has_value();
        },
        by, [by](bool stored) { Q_EMIT by->decisionStored(stored); });
}

// A decision that this process made and has not stored yet is later than the one read.
void ConsentBook::readAgain()
{
    bool allRead = true;
    for (auto known = m_decisions.begin(); known != m_decisions.end(); ++known) {
        const std::optional<ConsentDecision> stored = readStoredDecision(known.key());
        if (stored)
            apply(known.key(), laterDecision(known.value(), *stored));
        allRead = allRead && stored;
    }
    if (allRead)
        m_rereadDelayMs = kFirstRereadDelayMs;
    else
        readAgainSoon();
}

// A file that another client holds, or that cannot be read, must not pass for a user who has
// not decided for longer than it takes to read it again; each further attempt waits longer.
void ConsentBook::readAgainSoon()
{
    if (std::exchange(m_rereadPending, true))
        return;
    QTimer::singleShot(m_rereadDelayMs, this, [this] {
        m_rereadPending = false;
        m_rereadDelayMs = qMin(m_rereadDelayMs * 2, kLastRereadDelayMs);
        readAgain();
    });
}

void ConsentBook::apply(const QString &application, ConsentDecision decision)
{
    ConsentDecision &known = m_decisions[application];
    if (known == decision)
        return;
    known = decision;
    if (application == governingApplication()) {
        governRecords(application, decision);
        currentCollectorPrivate()->dropQueuedRowsRefusedBy(decision);
    }
    for (TelemetryConsent *consent : qAsConst(m_consents)) {
        if (consent->application() == application)
            TelemetryConsentPrivate::get(consent)->show(decision);
    }
}

void TelemetryConsentPrivate::show(ConsentDecision decision)
{
    const ConsentDecision was = std::exchange(m_decision, decision);
    if (q->level() != TelemetryConsent::Level(qMax(was.level, 0)))
        Q_EMIT q->levelChanged();
    if (was.isDecided() != decision.isDecided())
        Q_EMIT q->decidedChanged();
}

// Stamped later than any decision this process knows, even one of the same millisecond, so
// that no process can take the earlier one for the later.
void TelemetryConsentPrivate::decide(int level)
{
    ConsentBook *book = ConsentBook::instance();
    const qint64 at
        = qMax(QDateTime::currentMSecsSinceEpoch(), book->decisionOf(m_application).changedAt + 1);
    book->decide(m_application, { level, at }, q);
}

TelemetryConsent::TelemetryConsent(QObject *parent)
    : QObject(parent)
    , d(new TelemetryConsentPrivate(this))
{
    RecorderPrivate::init();
    ConsentBook *book = ConsentBook::instance();
    book->add(this);
    d->m_application = defaultApplication();
    d->m_decision = book->decisionOf(d->m_application);
    book->govern(d->m_application);
    connect(MetricCatalogue::instance(), &MetricCatalogue::changed, this,
            &TelemetryConsent::metricsChanged);
}

TelemetryConsent::~TelemetryConsent()
{
    if (s_book)
        s_book->remove(this);
    delete d;
}

QString TelemetryConsent::application() const
{
    return d->m_application;
}

void TelemetryConsent::setApplication(const QString &application)
{
    if (d->m_application == application)
        return;
    d->m_application = application;
    ConsentBook *book = ConsentBook::instance();
    d->show(book->decisionOf(application));
    book->govern(application);
    Q_EMIT applicationChanged();
}

QString TelemetryConsent::defaultApplication()
{
    return defaultConsentApplication();
}

TelemetryConsent::Level TelemetryConsent::level() const
{
    return Level(qMax(d->m_decision.level, int(NoTelemetry)));
}

bool TelemetryConsent::isDecided() const
{
    return d->m_decision.isDecided();
}

QVariantList TelemetryConsent::metrics() const
{
    return MetricCatalogue::instance()->metrics();
}

QVariantList TelemetryConsent::metricsOfLevel(Level level) const
{
    QVariantList ofLevel = metrics();
    ofLevel.erase(std::remove_if(ofLevel.begin(), ofLevel.end(),
                                 [level](const QVariant &metric) {
                                     return metric.toMap().value(QStringLiteral("level")).toInt()
                                         != level;
                                 }),
                  ofLevel.end());
    return ofLevel;
}

void TelemetryConsent::setLevel(Level level)
{
    d->decide(level);
}

void TelemetryConsent::deleteMyData()
{
    DataCollectorPrivate *collector = currentCollectorPrivate();
    collector->runHostCall(
        [collector, application = d->m_application] {
            return collector->deleteApplicationData(application);
        },
        this, [this](bool deleted) { Q_EMIT dataDeleted(deleted); });
}

void TelemetryConsent::reset()
{
    d->decide(kUndecided);
}

} // namespace kl::telemetry
