#include "telemetry/status/telemetrystatus.h"
#include "telemetry/status/telemetrystatus_p.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/publishing/batchnarrowing_p.h"
#include "telemetry/publishing/uploadresult.h"
#include "telemetry/registry/backends_p.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QThread>

#include <numeric>

namespace kl::telemetry {

namespace {

// The hooks run on flush and publisher threads while the status may be going away at exit.
QMutex instanceMutex;
TelemetryStatus *instance = nullptr;

// The database URL of a CouchDB location info text.
QString destinationName(const QString &locationInfo)
{
    const QJsonObject location = QJsonDocument::fromJson(locationInfo.toUtf8()).object();
    QString server = location.value(QLatin1String("server")).toString();
    while (server.endsWith(QLatin1Char('/')))
        server.chop(1);
    return server + QLatin1Char('/') + location.value(QLatin1String("database")).toString();
}

QString publishedDestinationName(int storageId)
{
    BackendsPrivate *registry = BackendsPrivate::get(currentBackends());
    QMutexLocker locker(&registry->m_mutex);
    return destinationName(registry->m_published.value(storageId).locationInfo);
}

} // namespace

// Called with the instance mutex held.
template<typename Function>
void TelemetryStatusPrivate::post(Function function)
{
    QMetaObject::invokeMethod(
        instance, [d = instance->d, function] { function(d); }, Qt::QueuedConnection);
}

void TelemetryStatusPrivate::countsMayHaveChanged()
{
    QMutexLocker locker(&instanceMutex);
    if (instance && instance->d->m_refreshPosted.testAndSetRelaxed(0, 1))
        post([](TelemetryStatusPrivate *d) { d->refreshCounts(); });
}

void TelemetryStatusPrivate::batchAnswered(int storageId, const BatchVerdict &verdict, int sent,
                                           const UploadResult &result)
{
    const QString error = verdict.firstError.isEmpty() ? result.errorText() : verdict.firstError;
    const QString destination = publishedDestinationName(storageId);
    const int stored = verdict.stored.size();
    const int httpStatus = result.httpStatus();
    // The counts come first, so that receivers of the batch signal see them after the batch.
    QMutexLocker locker(&instanceMutex);
    if (instance)
        post([=](TelemetryStatusPrivate *d) {
            d->refreshCounts();
            d->takeBatch(destination, stored, stored == sent, error, httpStatus);
        });
}

void TelemetryStatusPrivate::refreshCounts()
{
    m_refreshPosted.storeRelaxed(0);
    const int queued = currentDataCollector()->getQueuedElementsCount();
    if (queued != m_queuedCount) {
        m_queuedCount = queued;
        Q_EMIT q->queuedCountChanged();
    }
    QVariantMap counts;
    const QMap<QString, int> byLocation = currentDataCollector()->getCachedCountsByLocation();
    for (auto it = byLocation.cbegin(); it != byLocation.cend(); ++it)
        counts.insert(destinationName(it.key()), it.value());
    setCachedCounts(counts);
}

void TelemetryStatusPrivate::setCachedCounts(const QVariantMap &counts)
{
    if (counts == m_cachedCounts)
        return;
    m_cachedCounts = counts;
    m_cachedCount
        = std::accumulate(counts.cbegin(), counts.cend(), 0,
                          [](int sum, const QVariant &count) { return sum + count.toInt(); });
    Q_EMIT q->cachedCountsChanged();
}

void TelemetryStatusPrivate::setLastError(const QString &text, int httpStatus)
{
    if (text == m_lastError && httpStatus == m_lastErrorStatus)
        return;
    m_lastError = text;
    m_lastErrorStatus = httpStatus;
    Q_EMIT q->lastErrorChanged();
}

void TelemetryStatusPrivate::takeBatch(const QString &destination, int stored, bool allStored,
                                       const QString &error, int httpStatus)
{
    setLastError(allStored ? QString() : error, allStored ? 0 : httpStatus);
    if (stored == 0)
        return;
    m_lastPublishTime = QDateTime::currentDateTime();
    m_lastPublishDestination = destination;
    m_lastPublishCount = stored;
    Q_EMIT q->lastPublishChanged();
    Q_EMIT q->batchPublished(destination, stored);
}

TelemetryStatus::TelemetryStatus()
    : d(new TelemetryStatusPrivate(this))
{
    // QML and the application's widgets meet it in the main thread, whoever asked first.
    if (const QCoreApplication *application = QCoreApplication::instance())
        moveToThread(application->thread());
    QMutexLocker locker(&instanceMutex);
    instance = this;
    locker.unlock();
    TelemetryStatusPrivate::countsMayHaveChanged();
}

TelemetryStatus::~TelemetryStatus()
{
    {
        QMutexLocker locker(&instanceMutex);
        instance = nullptr;
    }
    delete d;
}

int TelemetryStatus::queuedCount() const
{
    return d->m_queuedCount;
}

QVariantMap TelemetryStatus::cachedCounts() const
{
    return d->m_cachedCounts;
}

int TelemetryStatus::cachedCount() const
{
    return d->m_cachedCount;
}

QDateTime TelemetryStatus::lastPublishTime() const
{
    return d->m_lastPublishTime;
}

QString TelemetryStatus::lastPublishDestination() const
{
    return d->m_lastPublishDestination;
}

int TelemetryStatus::lastPublishCount() const
{
    return d->m_lastPublishCount;
}

QString TelemetryStatus::lastError() const
{
    return d->m_lastError;
}

int TelemetryStatus::lastErrorStatus() const
{
    return d->m_lastErrorStatus;
}

TelemetryStatus *currentTelemetryStatus()
{
    static TelemetryStatus status;
    return &status;
}

} // namespace kl::telemetry
