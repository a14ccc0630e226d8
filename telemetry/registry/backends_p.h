#pragma once

#include "telemetry/registry/backends.h"

#include <QHash>
#include <QMap>
#include <QMutex>
#include <QSharedPointer>
#include <QSqlDatabase>

#include <optional>

namespace kl::telemetry {

/// What a storage ID stands for.
struct Destination
{
    QString backend;
    QString locationInfo;

    bool operator==(const Destination &other) const
    {
        return backend == other.backend && locationInfo == other.locationInfo;
    }
};

class BackendsPrivate
{
public:
    explicit BackendsPrivate(Backends *qq);

    static BackendsPrivate *get(Backends *backends) { return backends->d; }

    bool open();
    int findStorageId(const Destination &destination);
    int registerStorage(const Destination &destination);
    int storageIdOf(const Destination &destination);
    int provisionalStorageId(const Destination &destination);
    DocumentUploader *uploaderFor(int storageId, const Destination &destination);

    // Used by the collector's flush, under the machine-wide main lock.
    bool needsOpening();
    void close();
    bool reopen();
    bool namesSameDestinations();
    /// The ID that the destination of @p storageId has in the open file, registered there when
    /// new; -1 for an ID this process never handed out; empty when the file cannot tell now.
    std::optional<int> storageIdInCurrentFile(int storageId);
    /// Forgets the IDs of the older file, keeping the destinations mapped by @p newIds.
    void keepStorageIds(const QHash<int, int> &newIds);

    Backends *q;
    bool m_initialized = false;
    QSqlDatabase m_db;
    // Serialises every use of the connection, so that no two threads run SQL on it at once.
    mutable QMutex m_mutex;
    QMap<QString, QSharedPointer<DocumentUploader>> m_uploaderCache;
    int m_uploaderGeneration = 0;

    // Every storage ID this process has handed out (negative ones are provisional, handed out
    // while the cache could not be opened) or built an uploader for, with its destination.
    // A row queued under an ID is re-keyed by its destination when the cache file changes.
    QHash<int, Destination> m_handedOut;
    QHash<int, Destination> m_published;

    // Set by the first of a run of failures, so that the run is said once.
    bool m_failing = false;
};

} // namespace kl::telemetry
