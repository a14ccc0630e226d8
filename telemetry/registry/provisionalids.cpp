// Provisional storage IDs: a bucket's first record of a new destination only reads the
// registry, and the flush registers every new destination in one commit.

#include "telemetry/registry/backends.h"
#include "telemetry/registry/backends_p.h"

#include "telemetry/runtime/raiitransaction.h"
#include "telemetry/runtime/tables_p.h"

#include <QPair>
#include <QSqlQuery>

namespace kl::telemetry {

namespace {

constexpr int kNoStorage = -1;
constexpr int kNotRegistered = 0; // storage IDs start at 1

} // namespace

// The same destination keeps its provisional ID until a flush registers it.
int BackendsPrivate::provisionalStorageId(const Destination &destination)
{
    int lowest = kNoStorage;
    for (auto it = m_handedOut.cbegin(); it != m_handedOut.cend(); ++it) {
        if (it.key() < kNoStorage && it.value() == destination)
            return it.key();
        lowest = qMin(lowest, it.key());
    }
    m_handedOut.insert(lowest - 1, destination);
    m_unregistered.append(lowest - 1);
    return lowest - 1;
}

// Every destination waiting under a provisional ID, in one commit: a burst of new destinations
// costs the flush one sync, not one each, and one read of the table, not one each.
bool BackendsPrivate::registerProvisionalDestinations()
{
    if (m_unregistered.isEmpty())
        return true;
    // Read inside the write transaction: another process may be registering them too.
    RaiiTransaction transaction(m_db);
    QSqlQuery query(m_db);
    if (!transaction.openForWriting()
        || !query.exec(QStringLiteral("SELECT storageID, backend, locationInfo FROM storages")))
        return false;
    QHash<QPair<QString, QString>, int> registered;
    while (query.next())
        registered.insert({ query.value(1).toString(), query.value(2).toString() },
                          query.value(0).toInt());
    query.finish();
    QHash<int, int> realIds;
    for (const int provisional : qAsConst(m_unregistered)) {
        const Destination destination = m_handedOut.value(provisional);
        int &id = registered[{ destination.backend, destination.locationInfo }];
        if (id == kNotRegistered && (id = registerStorage(destination)) == kNoStorage)
            return false;
        realIds.insert(provisional, id);
    }
    if (!transaction.commit())
        return false;
    m_registeredProvisional.insert(realIds);
    m_unregistered.clear();
    return true;
}

int BackendsPrivate::storageIdWithoutRegistering(const QString &backend,
                                                 const QString &locationInfo)
{
    {
        ConnectionLocker locker(&m_mutex, m_db, BusyWait::Brief);
        const Destination destination { backend, locationInfo };
        if (m_initialized && m_db.isOpen()) {
            m_lookupBusy = false;
            const int found = findStorageId(destination);
            if (found > 0)
                m_handedOut.insert(found, destination);
            if (found > 0 || (found == kNoStorage && !m_lookupBusy))
                return found;
            return provisionalStorageId(destination);
        }
    }
    return q->getStorageID(backend, locationInfo); // answers as it does before the cache opens
}

} // namespace kl::telemetry
