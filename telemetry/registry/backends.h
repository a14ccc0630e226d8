#pragma once

#include "telemetry/korveltelemetry_export.h"
#include "telemetry/runtime/runtime.h"

#include <QMap>
#include <QString>

namespace kl::telemetry {

class BackendsPrivate;
class DocumentUploader;

/**
 * The registry of destinations: maps each pair of a backend name and a location info text to
 * a storage ID, kept in the cache database so that every process of the user, and every later
 * run, gets the same ID for the same pair. IDs start at 1 and are never handed out twice in
 * one cache file.
 *
 * There is one per process, reached through currentBackends(). The thread that calls
 * initialize() opens its connection; every operation here takes the registry's mutex, so any
 * thread may call them (flushes do, from the thread pool, when they register destinations).
 * A bucket's record takes none of them: it reads the IDs the registry keeps in memory.
 * Failures are logged and answered with -1, 0 or nothing.
 * \ingroup advanced
 */
class KORVELTELEMETRY_EXPORT Backends
{
public:
    /// The registry; the process has one, currentBackends().
    Backends();
    /// Destroys the registry.
    ~Backends();

    /// Opens the registry's connection (now, or when the first flush needs it) and creates its
    /// table when missing; only the first call acts. Until it opens, new destinations get
    /// provisional IDs.
    void initialize(CacheOpening opening = CacheOpening::Now);

    /**
     * The storage ID of the pair, registering it first when it is new; -1 on failure. While
     * the cache database cannot be opened the ID is provisional (below -1): rows queued under
     * it get the pair's real ID once the flush cycle has opened the cache.
     */
    int getStorageID(const QString &backend, const QString &locationInfo) const;

    /**
     * The IDs under which records of the pair may be queued or cached: those this process
     * handed out (provisional ones included) and the one the open cache file holds. Registers
     * nothing; empty when the pair is unknown.
     */
    QList<int> knownStorageIds(const QString &backend, const QString &locationInfo) const;

    /// Number of registered destinations; 0 on failure.
    int getRegisteredBackendsCount() const;

    /// Forgets every destination; IDs handed out before are never reused.
    void clearRegisteredBackends();

    /// Where the records of @p backend go: the backend name itself, the only location known.
    QString findBackendLocation(const QString &backend) const;

    /**
     * Despite its name, the uploaders, not the backends: one uploader per registered
     * destination whose backend is known, keyed by storage ID. The registry builds each
     * uploader once and owns it until process exit; the uploaders belong to the calling thread.
     */
    QMap<int, DocumentUploader *> getBackends();

private:
    Q_DISABLE_COPY(Backends)
    friend class BackendsPrivate;
    BackendsPrivate *d;
};

/// The registry of the process.
/// \ingroup advanced
KORVELTELEMETRY_EXPORT Backends *currentBackends();

} // namespace kl::telemetry
