#pragma once

#include "telemetry/korveltelemetry_export.h"

#include <QHash>
#include <QLatin1String>
#include <QReadWriteLock>
#include <QSqlDatabase>
#include <QString>

#include <optional>

namespace kl::telemetry {

/// The names of the library's connections to the cache file. Qt's default connection, like any
/// other name, is the application's.
constexpr QLatin1String kCacheConnectionName("korvel.telemetry.cache");
constexpr QLatin1String kRegistryConnectionName("korvel.telemetry.registry");

/// The storage ID of no destination; provisional IDs lie below it.
constexpr int kNoStorageId = -1;
/// The most records of one destination that one request carries.
constexpr int kBatchSize = 25;

/// Which file a path names at a given moment; two files are the same only with equal ids.
struct FileIdentity
{
    bool exists = false;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modifiedNs = 0;

    bool sameFileAs(const FileIdentity &other) const
    {
        return exists && other.exists && device == other.device && inode == other.inode;
    }
    /// False after a write, a truncation or a replacement; a change of owner or mode is none.
    bool sameContentAs(const FileIdentity &other) const
    {
        return sameFileAs(other) && size == other.size && modifiedNs == other.modifiedNs;
    }
};

FileIdentity fileIdentity(const QString &path);

/**
 * Makes the cache file at @p path, and its directory, readable by the user alone before a
 * connection opens it: creates the file with mode 0600 when it is missing (SQLite gives its
 * journals the file's mode), and narrows an existing file or directory that others may read,
 * with a warning.
 */
void keepCacheFilePrivate(const QString &path);

/// The `auto_vacuum` mode of a cache file that gives free pages back on request.
constexpr int kIncrementalVacuum = 2;

/**
 * Sets up a connection that has just opened the cache file: in a file that has no table yet,
 * the pages that deletes free will go back to the file system (incremental vacuum). The
 * connection never copies a write-ahead log into the file by itself, neither after a commit
 * nor when it closes: a connection that outlived its file (emptied in place, say) would write
 * the former content back into it. Checkpoints are the collector's, made under the main lock
 * once it has seen that the file is still the one it opened.
 */
void setUpCacheConnection(const QSqlDatabase &db);

/**
 * Makes the file that @p db has open keep a write-ahead log, so that a commit need not wait
 * for the disk, and readers and writers need not wait for each other. Call it under the main
 * lock, after @p db has read the file. A log and its index that lie beside a file without one
 * belong to a former file, whose connections may still have them open, and are removed first.
 * Only a connection of the linked SQLite, whose close can be kept from checkpointing, switches
 * the file. False while the file keeps its rollback journal.
 */
bool keepWriteAheadLog(const QSqlDatabase &db);

/**
 * Counts the cache files this process has used: bumped each time it starts writing into
 * another one. A storage ID remembered under an older generation may name another destination
 * in the current file, or none.
 */
int cacheFileGeneration();

/**
 * Held for reading from a bucket's generation check until its row is queued, and for writing
 * while the queue is re-keyed and the generation bumped, so that no row keyed for the old file
 * slips in behind the re-keying.
 */
QReadWriteLock &cacheFileLock();

/// Call with cacheFileLock() held for writing.
void bumpCacheFileGeneration();

/**
 * What the cache asks of the registry when its file changes under it: storage IDs name
 * destinations only within one file, and only the registry knows which destination each ID it
 * handed out stands for. The cache calls it under the machine-wide main lock, from the thread
 * that flushes or publishes.
 *
 * The process's registry installs itself on its first use. This base is the keeper before
 * that: it has handed out no ID and has no connection of its own.
 */
class KORVELTELEMETRY_TESTS_EXPORT StorageIdKeeper
{
public:
    virtual ~StorageIdKeeper();

    /// False when an ID this process knows names another destination in the open file, or
    /// stands above every ID the file ever handed out: the file is another one.
    virtual bool namesSameDestinations() { return true; }
    /// Lets go of a file that was deleted, replaced or emptied; the IDs handed out stay known.
    virtual void close() { }
    /// Whether the keeper's connection was meant to be open and is closed now.
    virtual bool needsOpening() { return false; }
    /// Opens that connection again; false while the file cannot be opened.
    virtual bool reopen() { return true; }
    /// Whether IDs were handed out while the file could not tell the real ones.
    virtual bool hasProvisionalIds() { return false; }
    /// The ID that the destination of @p storageId has in the open file, registered there when
    /// new; -1 for an ID this process never handed out; empty when the file cannot tell now.
    virtual std::optional<int> storageIdInCurrentFile(int storageId);
    /// As storageIdInCurrentFile(), from what the keeper holds in memory: a destination that it
    /// has not seen in the open file gets a provisional ID, registered by a later flush.
    virtual std::optional<int> storageIdInMemory(int storageId)
    {
        return storageIdInCurrentFile(storageId);
    }
    /// Forgets the IDs of the older file, keeping the destinations mapped by @p newIds.
    virtual void keepStorageIds(const QHash<int, int> &newIds);
};

/// The installed keeper; never null.
KORVELTELEMETRY_TESTS_EXPORT StorageIdKeeper *storageIdKeeper();
/// Installs @p keeper; it must stay alive until it is uninstalled.
KORVELTELEMETRY_TESTS_EXPORT void installStorageIdKeeper(StorageIdKeeper *keeper);
/// Goes back to the base keeper, when @p keeper is the installed one.
void uninstallStorageIdKeeper(StorageIdKeeper *keeper);

} // namespace kl::telemetry
