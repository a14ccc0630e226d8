#pragma once

#include "telemetry/registry/backends.h"
#include "telemetry/runtime/cachefile_p.h"
#include "telemetry/runtime/hook_p.h"
#include "telemetry/runtime/statementcache_p.h"

#include <QHash>
#include <QMap>
#include <QMutex>
#include <QSet>
#include <QSharedPointer>
#include <QSqlDatabase>

#include <atomic>
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

inline auto qHash(const Destination &destination, decltype(qHash(QString())) seed = 0)
{
    return qHash(destination.backend, seed) ^ qHash(destination.locationInfo, seed);
}

// The process's registry keeps the storage IDs for the cache when its file changes.
class BackendsPrivate : public StorageIdKeeper
{
public:
    using UploaderCache = QHash<int, QSharedPointer<DocumentUploader>>;

    explicit BackendsPrivate(Backends *qq);
    ~BackendsPrivate() override;

    static BackendsPrivate *get(Backends *backends) { return backends->d; }

    /// Builds the uploader of a destination (backend, location info); null for a backend it
    /// does not know. Publishing installs it: the registry knows destinations, not uploads.
    static Hook<QSharedPointer<DocumentUploader>(const QString &, const QString &)> &
    uploaderFactory();

    /// The location info of a destination that getBackends() built an uploader for; empty
    /// when there is none. Any thread.
    QString publishedLocationInfo(int storageId) const;
    /// Spare uploader @p index of a destination that getBackends() built an uploader for, so
    /// that batches can go out while that uploader's is; null when there is none. Publisher
    /// thread.
    DocumentUploader *spareUploader(int storageId, int index);
    /// The location infos of the destinations this process handed storage IDs out for. Any
    /// thread.
    QSet<QString> recordedLocationInfos() const;
    /**
     * The storage ID of the pair when this process has seen it in the open cache file, else a
     * provisional one under which its records wait in the queue until a flush registers the
     * pair. It runs no SQL and never waits for the connection, so a bucket's record never
     * waits for a look-up, a commit, a registration on a pool thread or another process's
     * write. Before initialize() it answers as getStorageID(). Any thread.
     */
    int storageIdWithoutRegistering(const QString &backend, const QString &locationInfo);

    bool open();
    int findStorageId(const Destination &destination);
    int registerStorage(const Destination &destination);
    int storageIdOf(const Destination &destination);
    bool readStorages(QHash<Destination, int> *storages);
    void keepInFile(const Destination &destination, int storageId);
    int provisionalStorageId(const Destination &destination);
    bool registerProvisionalDestinations();
    DocumentUploader *uploaderFor(int storageId, const Destination &destination);
    static DocumentUploader *buildOnce(UploaderCache &uploaders, int storageId,
                                       const Destination &destination);

    bool needsOpening() override;
    void close() override;
    bool reopen() override;
    bool namesSameDestinations() override;
    bool hasProvisionalIds() override;
    std::optional<int> storageIdInCurrentFile(int storageId) override;
    std::optional<int> storageIdInMemory(int storageId) override;
    void keepStorageIds(const QHash<int, int> &newIds) override;

    Backends *q;
    std::atomic<bool> m_initialized { false };
    QSqlDatabase m_db;
    // Serialises every use of the connection, so that no two threads run SQL on it at once.
    mutable QMutex m_mutex;
    // Under m_mutex: the statements prepared on the open connection.
    StatementCache m_statements;
    // Guards the IDs below, which a bucket reads as it records; taken after m_mutex and never
    // held while SQL runs, so that recording never waits behind the connection.
    mutable QMutex m_idsMutex;
    UploaderCache m_uploaderCache;
    QVector<UploaderCache> m_spareUploaders;
    int m_uploaderGeneration = 0;

    // Every storage ID this process has handed out (negative ones are provisional, handed out
    // while the cache could not be opened) or built an uploader for, with its destination.
    // A row queued under an ID is re-keyed by its destination when the cache file changes.
    QHash<int, Destination> m_handedOut;
    QHash<int, Destination> m_published;
    // The IDs of the destinations this process has seen in the open file. Emptied when the
    // file goes; buckets use it again once the queue is re-keyed for the new one (a bucket
    // that got a new file's ID before would queue it under an ID that still names another
    // destination of the old file).
    QHash<Destination, int> m_inFile;
    bool m_inFileCurrent = true;

    // Set by the first of a run of failures, so that the run is said once.
    bool m_failing = false;
    // Whether the last failed look-up or registration met another client's lock.
    bool m_lookupBusy = false;
    // Provisional IDs whose destinations the open file does not hold yet, and the IDs that
    // the others got there, until the queue is re-keyed; the provisional ID of each
    // destination that has one, and the next one to hand out.
    QList<int> m_unregistered;
    QHash<int, int> m_registeredProvisional;
    QHash<Destination, int> m_provisional;
    int m_nextProvisional = -2;
};

} // namespace kl::telemetry
