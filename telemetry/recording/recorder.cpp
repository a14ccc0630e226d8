#include "telemetry/recording/recorder.h"
#include "telemetry/recording/recorder_p.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/publishing/publisher.h"
#include "telemetry/recording/abstractbucket.h"
#include "telemetry/registry/backends.h"
#include "telemetry/runtime/runtime.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QMetaProperty>

namespace kl::telemetry {

std::function<bool(const QString &)> TelemetryPolicy::m_policyImpl
    = [](const QString &) { return true; };

bool TelemetryPolicy::isTrackedMetric(const QString &type)
{
    return m_policyImpl(type);
}

void TelemetryPolicy::setPolicyImplementation(std::function<bool(const QString &)> policy)
{
    m_policyImpl = std::move(policy);
}

namespace {

// Object references and custom types have no JSON form. A plain QObject* (QML's "property
// QtObject") is not a user type to Qt, but would only ever be written as null.
bool hasJsonForm(const QMetaProperty &property)
{
    return property.type() != QVariant::UserType && property.userType() != QMetaType::QObjectStar;
}

} // namespace

void RecorderPrivate::init()
{
    currentDataCollector()->initialize();
    currentBackends()->initialize();
    currentPublisher()->initialize();
}

Recorder::Recorder(QObject *parent)
    : QObject(parent)
    , d(new RecorderPrivate(this))
{
    RecorderPrivate::init();
}

Recorder::~Recorder()
{
    delete d;
}

QString Recorder::type() const
{
    return d->m_type;
}

void Recorder::setType(const QString &type)
{
    if (d->m_type == type)
        return;
    d->m_type = type;
    Q_EMIT typeChanged();
}

AbstractBucket *Recorder::bucket() const
{
    return d->m_bucket;
}

void Recorder::setBucket(AbstractBucket *bucket)
{
    if (d->m_bucket == bucket)
        return;
    d->m_bucket = bucket;
    Q_EMIT bucketChanged();
}

void Recorder::record()
{
    if (!d->m_bucket) {
        qCWarning(lcTelemetry) << "No bucket to place record";
        return;
    }
    if (!TelemetryPolicy::isTrackedMetric(d->m_type)) {
        qCDebug(lcTelemetry) << "Dropping untracked metric" << d->m_type;
        return;
    }

    static const int firstOwnProperty = Recorder::staticMetaObject.propertyOffset();
    const QString id = generateUniqueId();
    QVariantMap members;
    members.insert(QStringLiteral("_id"), id);
    members.insert(QStringLiteral("timestamp"), QDateTime::currentMSecsSinceEpoch());
    // Properties that subclasses and QML declare come after ours and are read the same way.
    const QMetaObject *meta = metaObject();
    for (int index = firstOwnProperty; index < meta->propertyCount(); ++index) {
        const QMetaProperty property = meta->property(index);
        if (hasJsonForm(property))
            members.insert(QString::fromLatin1(property.name()), property.read(this));
    }
    d->m_bucket->placeRecord(id, QJsonDocument::fromVariant(members));
}

} // namespace kl::telemetry
