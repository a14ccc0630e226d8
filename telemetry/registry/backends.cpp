#include "telemetry/registry/backends.h"
#include "telemetry/registry/backends_p.h"

#include "telemetry/publishing/couchdbdocumentuploader.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleton.h"
#include "telemetry/runtime/tables_p.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>

namespace kl::telemetry {

namespace {

constexpr int kNoStorage = -1;
constexpr int kNotRegistered = 0; // storage IDs start at 1
constexpr QLatin1String kTable("storages");

QString createTableStatement()
{
    return QStringLiteral("CREATE TABLE %1 (%2 INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT, "
                          "%3 TEXT NOT NULL, %4 TEXT NOT NULL)")
        .arg(kTable, QLatin1String("storageID"), QLatin1String("backend"),
             QLatin1String("locationInfo"));
}

// The values are bound, never spliced into the text, so no quote, percent sign or other
// character in a destination can change the statement; SQLite compares them byte for byte.
bool execBound(QSqlQuery &query, const QString &statement, const QVariantList &values)
{
    if (!query.prepare(statement))
        return false;
    for (const QVariant &value : values)
        query.addBindValue(value);
    return query.exec();
}

} // namespace

BackendsPrivate::BackendsPrivate(Backends *qq)
    : q(qq)
{
}

int BackendsPrivate::findStorageId(const QString &backend, const QString &locationInfo)
{
    QSqlQuery query(m_db);
    if (!execBound(
            query,
            QStringLiteral("SELECT storageID FROM storages WHERE locationInfo=? AND backend=?"),
            { locationInfo, backend })) {
        qCCritical(lcTelemetry) << "Unable to search database for existing storage information ";
        return kNoStorage;
    }
    return query.next() ? query.value(0).toInt() : kNotRegistered;
}

int BackendsPrivate::registerStorage(const QString &backend, const QString &locationInfo)
{
    QSqlQuery query(m_db);
    if (execBound(query,
                  QStringLiteral("INSERT INTO storages (backend, locationInfo) VALUES(?, ?)"),
                  { backend, locationInfo })
        && query.exec(QStringLiteral("SELECT last_insert_rowid()")) && query.next())
        return query.value(0).toInt();
    qCCritical(lcTelemetry) << "Unable to insert new storage information do database"
                            << query.lastError();
    return kNoStorage;
}

// A cached uploader stays bound to the destination it was built for; storage IDs are never
// reused, so its key never names another destination.
DocumentUploader *BackendsPrivate::uploaderFor(const QString &key, const QString &backend,
                                               const QString &locationInfo)
{
    if (const auto cached = m_uploaderCache.value(key))
        return cached.data();
    if (backend != QLatin1String("couchdb"))
        return nullptr;

    const QJsonObject location = QJsonDocument::fromJson(locationInfo.toUtf8()).object();
    QSharedPointer<DocumentUploader> uploader(
        new CouchDbDocumentUploader(location.value(QLatin1String("server")).toString(),
                                    location.value(QLatin1String("database")).toString(), nullptr));
    m_uploaderCache.insert(key, uploader);
    return uploader.data();
}

Backends::Backends()
    : d(new BackendsPrivate(this))
{
}

Backends::~Backends()
{
    delete d;
}

void Backends::initialize()
{
    QMutexLocker locker(&d->m_mutex);
    if (d->m_initialized)
        return;
    d->m_initialized = true;

    d->m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("initialize"));
    d->m_db.setDatabaseName(getCacheDataBaseLocation());
    if (!d->m_db.open()) {
        qCCritical(lcTelemetry) << "Failed to open data base for backend retrieval";
        return;
    }
    if (createTableIfMissing(d->m_db, kTable, { createTableStatement() }) == TableCreation::Failed)
        qCCritical(lcTelemetry) << "Backends database creation failed";
}

int Backends::getStorageID(const QString &backend, const QString &locationInfo) const
{
    QMutexLocker locker(&d->m_mutex);
    const int found = d->findStorageId(backend, locationInfo);
    return found == kNotRegistered ? d->registerStorage(backend, locationInfo) : found;
}

int Backends::getRegisteredBackendsCount() const
{
    QMutexLocker locker(&d->m_mutex);
    if (!d->m_db.isOpen()) {
        qCCritical(lcTelemetry)
            << "getRegisteredBackendsCount() aborted, connection to database is closed.";
        return 0;
    }
    if (const auto rows = countRows(d->m_db, kTable))
        return *rows;
    qCCritical(lcTelemetry) << "getRegisteredBackendsCount() aborted, SELECT query failed.";
    return 0;
}

void Backends::clearRegisteredBackends()
{
    QMutexLocker locker(&d->m_mutex);
    if (!d->m_db.isOpen()) {
        qCCritical(lcTelemetry)
            << "clearRegisteredBackends() aborted, connection to database is closed.";
        return;
    }
    switch (clearTable(d->m_db, kTable)) {
    case TableClearing::Cleared:
        return;
    case TableClearing::TransactionRefused:
        qCCritical(lcTelemetry) << "Registered backends clearing failed: cannot create transaction";
        return;
    case TableClearing::Failed:
        qCCritical(lcTelemetry) << "Registered backends clearing failed: query or commit";
    }
}

QString Backends::findBackendLocation(const QString &backend) const
{
    return backend;
}

QMap<QString, DocumentUploader *> Backends::getBackends()
{
    QMutexLocker locker(&d->m_mutex);
    QMap<QString, DocumentUploader *> uploaders;
    if (!d->m_db.isOpen()) {
        qCCritical(lcTelemetry) << "getBackends() aborted, connection to database is closed.";
        return uploaders;
    }
    QSqlQuery query(d->m_db);
    if (!query.exec(QStringLiteral("SELECT storageID, locationInfo, backend FROM storages"))) {
        qCCritical(lcTelemetry) << "getBackends() aborted, SELECT query failed.";
        return uploaders;
    }
    while (query.next()) {
        const QString key = query.value(0).toString();
        if (DocumentUploader *uploader
            = d->uploaderFor(key, query.value(2).toString(), query.value(1).toString()))
            uploaders.insert(key, uploader);
    }
    return uploaders;
}

Backends *currentBackends()
{
    return Singleton<Backends>::getInstance();
}

} // namespace kl::telemetry
