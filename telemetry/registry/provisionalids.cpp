// The IDs a bucket records under: answered from memory, never from SQL, so that recording
// never waits behind the connection. A destination not seen in the open file gets a
// provisional ID at once, and the flush registers every new destination in one commit.

#include "telemetry/registry/backends.h"
#include "telemetry/registry/backends_p.h"

#include "telemetry/runtime/cachefile_p.h"
#include "telemetry/runtime/raiitransaction.h"
#include "telemetry/runtime/tables_p.h"

#include <QSqlQuery>

namespace kl::telemetry {

namespace {

constexpr int kNotRegistered = 0; // storage IDs start at 1

} // namespace

// With m_mutex held. A full scan: the table has no index on its destinations.
bool BackendsPrivate::readStorages(QHash<Destination, int> *storages)
{
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT storageID, backend, locationInfo FROM storages")))
        return false;
    while (query.next())
        storages->insert({ query.value(1).toString(), query.value(2).toString() },
                         query.value(0).toInt());
    return true;
}

void BackendsPrivate::keepInFile(const Destination &destination, int storageId)
{
    QMutexLocker locker(&m_idsMutex);
    m_inFile.insert(destination, storageId);
}

// With m_idsMutex held. The same destination keeps its provisional ID until the queue is
// re-keyed.
int BackendsPrivate::provisionalStorageId(const Destination &destination)
{
    int &id = m_provisional[destination];
    if (id == kNotRegistered) {
        id = m_nextProvisional--;
        m_handedOut.insert(id, destination);
        m_unregistered.append(id);
    }
    return id;
}

// Every destination waiting under a provisional ID, in one commit: a burst of new destinations
// costs the flush one sync, not one each, and one read of the table, not one each. Buckets
// keep recording meanwhile: only m_mutex is held while SQL runs.
bool BackendsPrivate::registerProvisionalDestinations()
{
    QHash<int, Destination> waiting;
    {
        QMutexLocker locker(&m_idsMutex);
        for (const int provisional : qAsConst(m_unregistered))
            waiting.insert(provisional, m_handedOut.value(provisional));
    }
    if (waiting.isEmpty())
        return true;
    // Read inside the write transaction: another process may be registering them too.
    RaiiTransaction transaction(m_db);
    QHash<Destination, int> registered;
    if (!transaction.openForWriting() || !readStorages(&registered))
        return false;
    QHash<int, int> realIds;
    for (auto it = waiting.cbegin(); it != waiting.cend(); ++it) {
        int &id = registered[it.value()];
        if (id == kNotRegistered && (id = registerStorage(it.value())) == kNoStorageId)
            return false;
        realIds.insert(it.key(), id);
    }
    if (!transaction.commit())
        return false;
    QMutexLocker locker(&m_idsMutex);
    m_registeredProvisional.insert(realIds);
    m_unregistered.erase(std::remove_if(m_unregistered.begin(), m_unregistered.end(),
                                        [&](int id) { return waiting.contains(id); }),
                         m_unregistered.end());
    m_inFile.insert(registered);
    return true;
}

int BackendsPrivate::storageIdWithoutRegistering(const QString &backend,
                                                 const QString &locationInfo)
{
    if (!m_initialized)
        return q->getStorageID(backend, locationInfo);
    const Destination destination { backend, locationInfo };
    QMutexLocker locker(&m_idsMutex);
    const auto inFile = m_inFile.constFind(destination);
    if (!m_inFileCurrent || inFile == m_inFile.cend())
        return provisionalStorageId(destination);
    m_handedOut.insert(*inFile, destination);
    return *inFile;
}

bool BackendsPrivate::hasProvisionalIds()
{
    QMutexLocker locker(&m_idsMutex);
    return !m_provisional.isEmpty();
}

std::optional<int> BackendsPrivate::storageIdInMemory(int storageId)
{
    QMutexLocker locker(&m_idsMutex);
    const auto destination = m_handedOut.constFind(storageId);
    if (destination == m_handedOut.cend())
        return kNoStorageId;
    const auto inFile = m_inFile.constFind(*destination);
    return inFile != m_inFile.cend() ? *inFile : provisionalStorageId(*destination);
}

// Provisional IDs that stay in the queue stay provisional, to be registered by a later flush.
void BackendsPrivate::keepStorageIds(const QHash<int, int> &newIds)
{
    QMutexLocker locker(&m_idsMutex);
    QHash<int, Destination> handedOut;
    m_provisional.clear();
    m_unregistered.clear();
    m_registeredProvisional.clear();
    for (auto it = newIds.cbegin(); it != newIds.cend(); ++it) {
        const auto destination = m_handedOut.constFind(it.key());
        if (it.value() == kNoStorageId || destination == m_handedOut.cend())
            continue;
        handedOut.insert(it.value(), *destination);
        if (it.value() < kNoStorageId) {
            m_provisional.insert(*destination, it.value());
            m_unregistered.append(it.value());
        }
    }
    m_handedOut.swap(handedOut);
    m_inFileCurrent = true;
}

} // namespace kl::telemetry
