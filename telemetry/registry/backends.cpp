#include "telemetry/registry/backends.h"
#include "telemetry/registry/backends_p.h"

#include "telemetry/runtime/cachefile_p.h"
#include "telemetry/runtime/consent_p.h"
#include "telemetry/runtime/raiitransaction.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleton.h"
#include "telemetry/runtime/tables_p.h"

#include <QSqlError>
#include <QSqlQuery>

namespace kl::telemetry {

namespace {

constexpr int kNotRegistered = 0; // storage IDs start at 1
constexpr QLatin1String kTable("storages");

QString createTableStatement()
{
    return QStringLiteral("CREATE TABLE %1 (%2 INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT, "
                          "%3 TEXT NOT NULL, %4 TEXT NOT NULL)")
        .arg(kTable, QLatin1String("storageID"), QLatin1String("backend"),
             QLatin1String("locationInfo"));
}

// Every destination, as a pass and the check of a replaced file read them.
QString destinationsQuery()
{
    return QStringLiteral("SELECT storageID, backend, locationInfo FROM storages");
}

} // namespace

BackendsPrivate::BackendsPrivate(Backends *qq)
    : q(qq)
{
}

BackendsPrivate::~BackendsPrivate()
{
    uninstallStorageIdKeeper(this);
}

// Publishing installs it while the library loads, before this file's own statics may exist.
Hook<QSharedPointer<DocumentUploader>(const QString &, const QString &)> &
BackendsPrivate::uploaderFactory()
{
    static Hook<QSharedPointer<DocumentUploader>(const QString &, const QString &)> hook;
    return hook;
}

// The uploader that @p uploaders keeps for @p storageId, built on first use.
DocumentUploader *BackendsPrivate::buildOnce(UploaderCache &uploaders, int storageId,
                                             const Destination &destination)
{
    QSharedPointer<DocumentUploader> &uploader = uploaders[storageId];
    if (!uploader)
        uploader = uploaderFactory().call(destination.backend, destination.locationInfo);
    return uploader.data();
}

QString BackendsPrivate::publishedLocationInfo(int storageId) const
{
    QMutexLocker locker(&m_mutex);
    return m_published.value(storageId).locationInfo;
}

QSet<QString> BackendsPrivate::recordedLocationInfos() const
{
    QMutexLocker locker(&m_idsMutex);
    QSet<QString> locations;
    for (const Destination &destination : m_handedOut)
        locations.insert(destination.locationInfo);
    return locations;
}

// Asks for the location again each time, which retries creating the cache directory.
bool BackendsPrivate::open()
{
    if (!m_db.isValid())
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), kRegistryConnectionName);
    m_db.setDatabaseName(getCacheDataBaseLocation());
    keepCacheFilePrivate(m_db.databaseName());
    if (!m_db.open()) {
        if (!std::exchange(m_failing, true))
            qCCritical(lcTelemetry)
                << "Failed to open data base for backend retrieval" << m_db.lastError().text();
        return false;
    }
    m_failing = false;
    applyBusyTimeout(m_db, BusyWait::Brief);
    setUpCacheConnection(m_db);
    QSqlError error;
    const TableCreation creation
        = createTableIfMissing(m_db, kTable, { createTableStatement() }, &error);
    // Another client holds the file: the next flush opens it again.
    if (isBusy(error) || creation == TableCreation::CommitRefused) {
        m_statements.close(m_db);
        return false;
    }
    if (creation == TableCreation::Failed)
        qCCritical(lcTelemetry) << "Backends database creation failed" << error.text();
    QHash<Destination, int> storages;
    if (readStorages(&storages)) {
        QMutexLocker locker(&m_idsMutex);
        m_inFile.insert(storages);
    }
    return true;
}

int BackendsPrivate::findStorageId(const Destination &destination)
{
    QSqlQuery query(m_db);
    if (!execBound(
            query,
            QStringLiteral("SELECT storageID FROM storages WHERE locationInfo=? AND backend=?"),
            { destination.locationInfo, destination.backend })) {
        m_lookupBusy = isBusy(query.lastError());
        // Once per run of failures: a broken cache would otherwise speak on every record.
        if (!m_lookupBusy && !std::exchange(m_failing, true))
            qCCritical(lcTelemetry) << "Unable to search database for existing storage information "
                                    << query.lastError().text();
        return kNoStorageId;
    }
    m_failing = false;
    return query.next() ? query.value(0).toInt() : kNotRegistered;
}

int BackendsPrivate::registerStorage(const Destination &destination)
{
    QSqlQuery query(m_db);
    if (execBound(query,
                  QStringLiteral("INSERT INTO storages (backend, locationInfo) VALUES(?, ?)"),
                  { destination.backend, destination.locationInfo })
        && query.exec(QStringLiteral("SELECT last_insert_rowid()")) && query.next())
        return query.value(0).toInt();
    m_lookupBusy = isBusy(query.lastError());
    if (!m_lookupBusy)
        qCCritical(lcTelemetry) << "Unable to insert new storage information do database"
                                << query.lastError();
    return kNoStorageId;
}

// Looked up again in a write transaction before the insert: two processes that both found
// nothing would otherwise add the destination twice, and publish its records apart, under two
// IDs and two claims.
int BackendsPrivate::storageIdOf(const Destination &destination)
{
    m_lookupBusy = false;
    const int found = findStorageId(destination);
    if (found != kNotRegistered)
        return found;
    RaiiTransaction transaction(m_db);
    if (!transaction.openForWriting()) {
        m_lookupBusy = true; // whatever refused it, the record waits and asks again
        return kNoStorageId;
    }
    int id = findStorageId(destination);
    if (id == kNotRegistered)
        id = registerStorage(destination);
    if (id != kNoStorageId && !transaction.commit()) {
        m_lookupBusy = true;
        return kNoStorageId;
    }
    return id;
}

DocumentUploader *BackendsPrivate::uploaderFor(int storageId, const Destination &destination)
{
    DocumentUploader *uploader = buildOnce(m_uploaderCache, storageId, destination);
    if (uploader)
        m_published.insert(storageId, destination);
    return uploader;
}

DocumentUploader *BackendsPrivate::spareUploader(int storageId, int index)
{
    QMutexLocker locker(&m_mutex);
    const auto published = m_published.constFind(storageId);
    if (published == m_published.cend())
        return nullptr;
    if (m_spareUploaders.size() <= index)
        m_spareUploaders.resize(index + 1);
    return buildOnce(m_spareUploaders[index], storageId, *published);
}

bool BackendsPrivate::needsOpening()
{
    QMutexLocker locker(&m_mutex);
    return m_initialized && !m_db.isOpen();
}

// The handed-out IDs stay, so that queued rows can be re-keyed by their destinations.
void BackendsPrivate::close()
{
    QMutexLocker locker(&m_mutex);
    m_statements.close(m_db);
    m_published.clear();
    QMutexLocker idsLocker(&m_idsMutex);
    m_inFile.clear();
    m_inFileCurrent = false;
    // Registered in the file that goes: the next one registers them again.
    m_unregistered += m_registeredProvisional.keys();
    m_registeredProvisional.clear();
}

bool BackendsPrivate::reopen()
{
    ConnectionLocker locker(&m_mutex, m_db, BusyWait::Brief);
    return open();
}

// Storage IDs are never handed out twice in one file, so a remembered ID that names another
// destination, or one above the highest ever handed out, means that the file is another one.
bool BackendsPrivate::namesSameDestinations()
{
    ConnectionLocker locker(&m_mutex, m_db, BusyWait::Brief);
    QHash<int, Destination> handedOut;
    {
        QMutexLocker idsLocker(&m_idsMutex);
        handedOut = m_handedOut;
    }
    if (!m_db.isOpen() || (handedOut.isEmpty() && m_published.isEmpty()))
        return true;
    // One read for both statements: a destination registered in between is in both or neither.
    RaiiTransaction read(m_db);
    if (!read.open())
        return true; // cannot tell now: the next use asks again
    QHash<int, Destination> stored;
    {
        const ReusedQuery query = m_statements.prepared(m_db, destinationsQuery());
        if (!query.isPrepared() || !query->exec())
            return isBusy(query->lastError()); // busy: ask again later
        while (query->next())
            stored.insert(query->value(0).toInt(),
                          { query->value(1).toString(), query->value(2).toString() });
    }
    int highest = 0;
    const ReusedQuery sequence = m_statements.prepared(
        m_db, QStringLiteral("SELECT seq FROM sqlite_sequence WHERE name = 'storages'"));
    if (sequence.isPrepared() && sequence->exec() && sequence->next())
        highest = sequence->value(0).toInt();

    for (const QHash<int, Destination> *known : { &handedOut, &m_published }) {
        for (auto it = known->cbegin(); it != known->cend(); ++it) {
            const auto row = stored.constFind(it.key());
            if (row == stored.cend() ? it.key() > highest : !(*row == it.value()))
                return false;
        }
    }
    return true;
}

std::optional<int> BackendsPrivate::storageIdInCurrentFile(int storageId)
{
    ConnectionLocker locker(&m_mutex, m_db, BusyWait::Brief);
    Destination destination;
    {
        QMutexLocker idsLocker(&m_idsMutex);
        const auto handedOut = m_handedOut.constFind(storageId);
        if (handedOut == m_handedOut.cend())
            return kNoStorageId;
        destination = *handedOut;
        const auto inFile = m_inFile.constFind(destination);
        if (inFile != m_inFile.cend())
            return *inFile;
    }
    if (storageId < kNoStorageId) {
        if (!registerProvisionalDestinations())
            return std::nullopt;
        QMutexLocker idsLocker(&m_idsMutex);
        return m_registeredProvisional.value(storageId, kNoStorageId);
    }
    const int id = storageIdOf(destination);
    if (id == kNoStorageId)
        return std::nullopt;
    keepInFile(destination, id);
    return id;
}

Backends::Backends()
    : d(new BackendsPrivate(this))
{
}

Backends::~Backends()
{
    delete d;
}

void Backends::initialize(CacheOpening opening)
{
    // Every Recorder calls it: once done, it never waits for the connection.
    if (d->m_initialized)
        return;
    ConnectionLocker locker(&d->m_mutex, d->m_db, BusyWait::Brief);
    if (d->m_initialized)
        return;
    d->m_initialized = true;
    // Without consent no file is created; the first flush once enabled opens it.
    if (opening == CacheOpening::Now && isTelemetryEnabled())
        d->open();
}

int Backends::getStorageID(const QString &backend, const QString &locationInfo) const
{
    ConnectionLocker locker(&d->m_mutex, d->m_db, BusyWait::Brief);
    const Destination destination { backend, locationInfo };
    // The flush cycle keeps trying to open the cache; until then rows wait in the queue. So
    // they do while another client holds the file: the flush re-keys them.
    const bool closed = d->m_initialized && !d->m_db.isOpen();
    const int id = closed ? kNoStorageId : d->storageIdOf(destination);
    QMutexLocker idsLocker(&d->m_idsMutex);
    if (closed || (id == kNoStorageId && d->m_lookupBusy))
        return d->provisionalStorageId(destination);
    if (id != kNoStorageId) {
        d->m_handedOut.insert(id, destination);
        d->m_inFile.insert(destination, id);
    }
    return id;
}

QList<int> Backends::knownStorageIds(const QString &backend, const QString &locationInfo) const
{
    ConnectionLocker locker(&d->m_mutex, d->m_db, BusyWait::Brief);
    const Destination destination { backend, locationInfo };
    QList<int> ids;
    {
        QMutexLocker idsLocker(&d->m_idsMutex);
        for (auto it = d->m_handedOut.cbegin(); it != d->m_handedOut.cend(); ++it) {
            if (it.value() == destination)
                ids.append(it.key());
        }
    }
    const int inFile = d->m_db.isOpen() ? d->findStorageId(destination) : kNoStorageId;
    if (inFile > 0 && !ids.contains(inFile))
        ids.append(inFile);
    return ids;
}

int Backends::getRegisteredBackendsCount() const
{
    ConnectionLocker locker(&d->m_mutex, d->m_db, BusyWait::Brief);
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
    ConnectionLocker locker(&d->m_mutex, d->m_db, BusyWait::Brief);
    if (!d->m_db.isOpen()) {
        qCCritical(lcTelemetry)
            << "clearRegisteredBackends() aborted, connection to database is closed.";
        return;
    }
    switch (clearTable(d->m_db, kTable)) {
    case TableClearing::Cleared: {
        QMutexLocker idsLocker(&d->m_idsMutex);
        d->m_inFile.clear();
        return;
    }
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

QMap<int, DocumentUploader *> Backends::getBackends()
{
    ConnectionLocker locker(&d->m_mutex, d->m_db, BusyWait::Brief);
    // Uploaders built for an older cache file may be keyed by IDs that now name others; they
    // belong to this thread, so they are let go here.
    if (d->m_uploaderGeneration != cacheFileGeneration()) {
        d->m_uploaderGeneration = cacheFileGeneration();
        d->m_uploaderCache.clear();
        d->m_spareUploaders.clear();
    }
    QMap<int, DocumentUploader *> uploaders;
    if (!d->m_db.isOpen()) {
        if (!std::exchange(d->m_failing, true))
            qCCritical(lcTelemetry) << "getBackends() aborted, connection to database is closed.";
        return uploaders;
    }
    // Each pass reads them; a draining backlog starts one with each batch.
    const ReusedQuery destinations = d->m_statements.prepared(d->m_db, destinationsQuery());
    QSqlQuery &query = *destinations;
    if (!destinations.isPrepared() || !query.exec()) {
        if (!isBusy(query.lastError())) // else the next pass reads them
            qCCritical(lcTelemetry) << "getBackends() aborted, SELECT query failed.";
        return uploaders;
    }
    while (query.next()) {
        const int storageId = query.value(0).toInt();
        if (DocumentUploader *uploader
            = d->uploaderFor(storageId, { query.value(1).toString(), query.value(2).toString() }))
            uploaders.insert(storageId, uploader);
    }
    return uploaders;
}

Backends *currentBackends()
{
    static Backends *const backends = [] {
        Backends *registry = Singleton<Backends>::getInstance();
        installStorageIdKeeper(BackendsPrivate::get(registry));
        return registry;
    }();
    return backends;
}

} // namespace kl::telemetry
