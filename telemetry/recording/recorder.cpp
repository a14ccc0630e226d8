#include "telemetry/recording/recorder.h"
#include "telemetry/recording/recorder_p.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/publishing/publisher.h"
#include "telemetry/recording/abstractbucket.h"
#include "telemetry/registry/backends.h"
#include "telemetry/runtime/consent_p.h"
#include "telemetry/runtime/runtime.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaProperty>
#include <QVarLengthArray>

#include <algorithm>
#include <mutex>

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

bool TelemetryPolicy::isEnabled()
{
    return isTelemetryEnabled();
}

void TelemetryPolicy::setEnabled(bool enabled)
{
    setTelemetryEnabled(enabled);
}

namespace {

// Object references, registered enums and custom types have no JSON form; nor has a type Qt
// cannot name. A plain QObject* (QML's "property QtObject") is a built-in type, but would only
// ever be written as null.
bool hasJsonForm(const QMetaProperty &property)
{
    const int type = property.userType();
    return type != QMetaType::UnknownType && type < QMetaType::User
        && type != QMetaType::QObjectStar;
}

// Values that QJsonValue::fromVariant writes exactly as QJsonDocument::fromVariant writes them
// inside a map. Others differ between the two (byte arrays, invalid dates, short integers,
// CBOR values among them), so a record holding any of them is built through a QVariantMap.
bool convertsAlone(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::QString:
        return true;
    default:
        return false;
    }
}

// Names are UTF-8 (QML allows "property int größe"). Nearly all are ASCII and are used as
// they are, which spares record() a conversion per property.
struct Member
{
    static Member of(const QMetaProperty &property, QVariant value)
    {
        Member member { QLatin1String(property.name()), QString(), std::move(value) };
        const QLatin1String &ascii = member.ascii;
        if (std::any_of(ascii.begin(), ascii.end(), [](char c) { return c & 0x80; }))
            member.decoded = QString::fromUtf8(ascii.data(), ascii.size());
        return member;
    }

    QString name() const { return decoded.isNull() ? QString(ascii) : decoded; }
    void insertInto(QJsonObject &object) const
    {
        if (decoded.isNull())
            object.insert(ascii, QJsonValue::fromVariant(value));
        else
            object.insert(decoded, QJsonValue::fromVariant(value));
    }

    QLatin1String ascii;
    QString decoded;
    QVariant value;
};

// Room for the properties of nearly any recorder without touching the heap.
using Members = QVarLengthArray<Member, 16>;

// A later member replaces an earlier one of the same name, in both forms.
QJsonDocument recordDocument(const QString &id, qint64 timestamp, const Members &members)
{
    const bool plain = std::all_of(members.begin(), members.end(), [](const Member &member) {
        return convertsAlone(member.value);
    });
    if (plain) {
        // The common case skips the map's nodes and key copies, about a fifth of record()'s time.
        QJsonObject object;
        object.insert(QLatin1String("_id"), id);
        object.insert(QLatin1String("timestamp"), timestamp);
        for (const Member &member : members)
            member.insertInto(object);
        return QJsonDocument(object);
    }
    QVariantMap map;
    map.insert(QStringLiteral("_id"), id);
    map.insert(QStringLiteral("timestamp"), timestamp);
    for (const Member &member : members)
        map.insert(member.name(), member.value);
    return QJsonDocument::fromVariant(map);
}

} // namespace

// The publisher watches the cache file and the collector writes its queue as the application
// quits: both need the application object. A Recorder made before it starts them from the
// application's constructor.
void RecorderPrivate::init()
{
    if (!QCoreApplication::instance()) {
        static std::once_flag deferred;
        std::call_once(deferred, [] { qAddPreRoutine(&RecorderPrivate::init); });
        return;
    }
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
    if (!TelemetryPolicy::isEnabled()) {
        qCDebug(lcTelemetry) << "Dropping record, telemetry is disabled" << d->m_type;
        return;
    }
    if (!d->m_bucket) {
        qCWarning(lcTelemetry) << "No bucket to place record";
        return;
    }
    if (!TelemetryPolicy::isTrackedMetric(d->m_type)) {
        qCDebug(lcTelemetry) << "Dropping untracked metric" << d->m_type;
        return;
    }
    if (Q_UNLIKELY(!QCoreApplication::instance())) {
        static std::once_flag said;
        std::call_once(said, [] {
            qCWarning(lcTelemetry) << "Records made while no application object exists are "
                                      "dropped: create the QCoreApplication first";
        });
        return;
    }

    static const int firstOwnProperty = Recorder::staticMetaObject.propertyOffset();
    const QString id = generateUniqueId();
    const qint64 timestamp = QDateTime::currentMSecsSinceEpoch();
    // Properties that subclasses and QML declare come after ours and are read the same way.
    Members members;
    const QMetaObject *meta = metaObject();
    for (int index = firstOwnProperty; index < meta->propertyCount(); ++index) {
        const QMetaProperty property = meta->property(index);
        if (hasJsonForm(property))
            members.append(Member::of(property, property.read(this)));
    }
    d->m_bucket->placeRecord(id, recordDocument(id, timestamp, members));
}

} // namespace kl::telemetry
