#include "telemetry/recording/recorder.h"
#include "telemetry/recording/recorder_p.h"

#include "telemetry/cache/datacollector.h"
#include "telemetry/publishing/publisher.h"
#include "telemetry/recording/abstractbucket.h"
#include "telemetry/recording/metriccatalogue_p.h"
#include "telemetry/registry/backends.h"
#include "telemetry/runtime/consent_p.h"
#include "telemetry/runtime/runtime.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaProperty>
#include <QMutex>
#include <QSet>
#include <QVarLengthArray>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

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
// Read by every record, so without a lock: a filter that was replaced stays alive, as a
// record() on another thread may still be calling it, until the process ends.
std::atomic<const TelemetryPolicy::RecordFilter *> s_recordFilter { nullptr };

void keepFilter(std::unique_ptr<const TelemetryPolicy::RecordFilter> filter)
{
    static QMutex mutex;
    static std::vector<std::unique_ptr<const TelemetryPolicy::RecordFilter>> installed;
    QMutexLocker locker(&mutex);
    installed.push_back(std::move(filter));
}
} // namespace

void TelemetryPolicy::setRecordFilter(RecordFilter filter)
{
    if (!filter) {
        s_recordFilter.store(nullptr, std::memory_order_release);
        return;
    }
    auto kept = std::make_unique<const RecordFilter>(std::move(filter));
    s_recordFilter.store(kept.get(), std::memory_order_release);
    keepFilter(std::move(kept));
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
        && type != QMetaType::QObjectStar && !property.isEnumType();
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
    case QMetaType::Nullptr:
        return true;
    default:
        return false;
    }
}

// What was said about which property of which metric type, for the whole process: a record
// made many times a second says each thing once.
class ToldOnce
{
public:
    bool isFirst(const QString &type, const QString &name)
    {
        QMutexLocker locker(&m_mutex);
        const QPair<QString, QString> key(type, name);
        if (m_told.contains(key))
            return false;
        m_told.insert(key);
        return true;
    }

private:
    QMutex m_mutex;
    QSet<QPair<QString, QString>> m_told;
};

// CouchDB gives every member whose name begins with "_" a meaning of its own: "_rev" makes it
// answer a conflict without storing the document, "_deleted" stores a deletion that no reader
// sees. "_id" is the library's own.
bool isReserved(const char *name)
{
    return name[0] == '_';
}

void tellLeftOut(const QString &type, const char *name)
{
    static ToldOnce told;
    const QString property = QString::fromUtf8(name);
    if (told.isFirst(type, property))
        qCWarning(lcTelemetry).noquote()
            << QStringLiteral("Property \"%1\" of metric \"%2\" left out of its records: CouchDB "
                              "reserves names that begin with \"_\"")
                   .arg(property, type);
}

// JSON has no NaN nor infinity. Only these two types can hold one at the top of a value.
bool isNonFinite(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::Double:
        return !std::isfinite(value.toDouble());
    case QMetaType::Float:
        return !std::isfinite(value.toFloat());
    default:
        return false;
    }
}

void tellNull(const QString &type, const QString &property)
{
    static ToldOnce told;
    if (told.isFirst(type, property))
        qCWarning(lcTelemetry).noquote()
            << QStringLiteral("Property \"%1\" of metric \"%2\" is not a finite number, "
                              "recorded as null")
                   .arg(property, type);
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

    static Member named(const QString &name, QVariant value)
    {
        return { QLatin1String(), name, std::move(value) };
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

bool isPlain(const Members &members)
{
    return std::all_of(members.begin(), members.end(),
                       [](const Member &member) { return convertsAlone(member.value); });
}

// The common case skips the map's nodes and key copies, about a fifth of record()'s time.
// A null @p id leaves "_id" out.
QJsonObject plainObject(const QString &id, qint64 timestamp, const Members &members)
{
    QJsonObject object;
    if (!id.isNull())
        object.insert(QLatin1String("_id"), id);
    object.insert(QLatin1String("timestamp"), timestamp);
    for (const Member &member : members)
        member.insertInto(object);
    return object;
}

QJsonDocument mapDocument(const QString &id, qint64 timestamp, const Members &members)
{
    QVariantMap map;
    if (!id.isNull())
        map.insert(QStringLiteral("_id"), id);
    map.insert(QStringLiteral("timestamp"), timestamp);
    for (const Member &member : members)
        map.insert(member.name(), member.value);
    return QJsonDocument::fromVariant(map);
}

// A later member replaces an earlier one of the same name, in both forms.
QJsonDocument recordDocument(const QString &id, qint64 timestamp, const Members &members)
{
    return isPlain(members) ? QJsonDocument(plainObject(id, timestamp, members))
                            : mapDocument(id, timestamp, members);
}

// The same without "_id", as the host's filter sees it.
QJsonObject filteredObject(qint64 timestamp, const Members &members)
{
    return isPlain(members) ? plainObject(QString(), timestamp, members)
                            : mapDocument(QString(), timestamp, members).object();
}

// Properties that subclasses and QML declare come after ours and are read the same way.
Members recordedMembers(const Recorder *recorder)
{
    static const int firstOwnProperty = Recorder::staticMetaObject.propertyOffset();
    // The words for the user describe the type; they are no part of its records.
    static const int description = Recorder::staticMetaObject.indexOfProperty("description");
    Members members;
    const QMetaObject *meta = recorder->metaObject();
    for (int index = firstOwnProperty; index < meta->propertyCount(); ++index) {
        const QMetaProperty property = meta->property(index);
        if (index == description || !hasJsonForm(property))
            continue;
        if (isReserved(property.name())) {
            tellLeftOut(recorder->type(), property.name());
            continue;
        }
        members.append(Member::of(property, property.read(recorder)));
        if (isNonFinite(members.last().value)) {
            tellNull(recorder->type(), members.last().name());
            members.last().value = QVariant::fromValue(nullptr);
        }
    }
    if (const auto &more = RecorderPrivate::get(recorder)->m_moreMembers) {
        const QVariantMap added = more();
        for (auto member = added.cbegin(); member != added.cend(); ++member)
            members.append(Member::named(member.key(), member.value()));
    }
    return members;
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
    // The cache file opens off this thread, at the first flush or publish attempt.
    currentDataCollector()->initialize(CacheOpening::AtFirstUse);
    currentBackends()->initialize(CacheOpening::AtFirstUse);
    currentPublisher()->startInBackground();
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
    d->catalogueAgain();
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

TelemetryConsent::Level Recorder::level() const
{
    return d->m_level;
}

void Recorder::setLevel(TelemetryConsent::Level level)
{
    if (d->m_level == level)
        return;
    d->m_level = level;
    d->catalogueAgain();
    Q_EMIT levelChanged();
}

QString Recorder::description() const
{
    return d->m_description;
}

void Recorder::setDescription(const QString &description)
{
    if (d->m_description == description)
        return;
    d->m_description = description;
    d->catalogueAgain();
    Q_EMIT descriptionChanged();
}

QJsonDocument RecorderPrivate::document(const QString &id, qint64 timestamp) const
{
    return recordDocument(id, timestamp, recordedMembers(q));
}

// Described types are listed as soon as they are described; others once they are recorded.
void RecorderPrivate::catalogueAgain()
{
    m_catalogued = false;
    if (!m_description.isEmpty())
        enterCatalogue();
}

void RecorderPrivate::enterCatalogue()
{
    if (m_catalogued || m_type.isEmpty())
        return;
    m_catalogued = true;
    MetricCatalogue::instance()->enter(q);
}

// A record dropped on purpose is worth a debug line; one dropped by a mistake of the host, a
// warning.
RecorderPrivate::Refusal RecorderPrivate::refusal() const
{
    if (!TelemetryPolicy::isEnabled())
        return Refusal::Disabled;
    if (!m_bucket)
        return Refusal::NoBucket;
    if (!isLevelAllowed(m_level))
        return Refusal::LevelRefused;
    if (!TelemetryPolicy::isTrackedMetric(m_type))
        return Refusal::Untracked;
    if (Q_UNLIKELY(!QCoreApplication::instance()))
        return Refusal::NoApplication;
    return Refusal::None;
}

void RecorderPrivate::explain(Refusal refusal) const
{
    switch (refusal) {
    case Refusal::None:
        break;
    case Refusal::Disabled:
        qCDebug(lcTelemetry) << "Dropping record, telemetry is disabled" << m_type;
        break;
    case Refusal::NoBucket:
        qCWarning(lcTelemetry) << "No bucket to place record";
        break;
    case Refusal::LevelRefused:
        qCDebug(lcTelemetry) << "Dropping record, the user's consent does not include it" << m_type;
        break;
    case Refusal::Untracked:
        qCDebug(lcTelemetry) << "Dropping untracked metric" << m_type;
        break;
    case Refusal::NoApplication: {
        static std::once_flag said;
        std::call_once(said, [] {
            qCWarning(lcTelemetry) << "Records made while no application object exists are "
                                      "dropped: create the QCoreApplication first";
        });
        break;
    }
    }
}

void Recorder::record()
{
    d->enterCatalogue();
    if (const RecorderPrivate::Refusal refusal = d->refusal();
        refusal != RecorderPrivate::Refusal::None) {
        d->explain(refusal);
        return;
    }

    const QString id = generateUniqueId();
    const qint64 timestamp = QDateTime::currentMSecsSinceEpoch();
    const TelemetryPolicy::RecordFilter *filter = s_recordFilter.load(std::memory_order_acquire);
    if (!filter) {
        d->m_bucket->placeRecord(id, d->document(id, timestamp), d->m_level);
        return;
    }
    QJsonObject record = filteredObject(timestamp, recordedMembers(this));
    if (!(*filter)(record)) {
        qCDebug(lcTelemetry) << "Dropping record, the record filter refused it" << d->m_type;
        return;
    }
    record.insert(QLatin1String("_id"), id);
    d->m_bucket->placeRecord(id, QJsonDocument(record), d->m_level);
}

} // namespace kl::telemetry
