#include "telemetry/runtime/cachefile_p.h"

#include "telemetry/runtime/runtime.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSqlQuery>

#include <atomic>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kl::telemetry {

namespace {
std::atomic<int> s_generation { 0 };
StorageIdKeeper s_noKeeper;
std::atomic<StorageIdKeeper *> s_keeper { &s_noKeeper };

// True when @p path, of file @p type, was open to others and now has @p mode.
bool narrowed(const QByteArray &path, mode_t type, mode_t mode)
{
    struct stat status;
    return ::stat(path.constData(), &status) == 0 && (status.st_mode & S_IFMT) == type
        && (status.st_mode & (S_IRWXG | S_IRWXO)) != 0 && ::chmod(path.constData(), mode) == 0;
}

// Created here rather than by SQLite, which would follow the umask; an empty file is an empty
// database to SQLite.
bool createdPrivate(const QByteArray &path)
{
    constexpr mode_t kMode = S_IRUSR | S_IWUSR;
    const int file = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kMode);
    if (file < 0)
        return false;
    ::fchmod(file, kMode); // a umask may have taken more than the others' bits
    ::close(file);
    return true;
}

// A log or journal that a deleted file left behind would be played into the new one.
void removeLeftoversOfFormerFile(const QString &path)
{
    for (const char *suffix : { "-wal", "-shm", "-journal" })
        QFile::remove(path + QLatin1String(suffix));
}

// Commits go to the write-ahead log without waiting for the disk; a checkpoint makes all of
// them durable at once (two syncs: the log, then the file), at most every few seconds.
constexpr qint64 kSyncIntervalMs = 5000;

struct SyncState
{
    QMutex mutex;
    QElapsedTimer sinceSync; // invalid until the first sync
    bool unsynced = false;
};

SyncState &syncState()
{
    static SyncState state;
    return state;
}

bool isSyncDue(const SyncState &state)
{
    return !state.sinceSync.isValid() || state.sinceSync.hasExpired(kSyncIntervalMs);
}

} // namespace

void keepCacheFilePrivate(const QString &path)
{
    const QByteArray file = QFile::encodeName(path);
    const QByteArray directory = QFile::encodeName(QFileInfo(path).absolutePath());
    // Both, whichever was open to others. Once narrowed they are not again, so this is said
    // once, by whichever connection opens the file first.
    const bool directoryNarrowed = narrowed(directory, S_IFDIR, S_IRWXU);
    const bool created = createdPrivate(file);
    if (created)
        removeLeftoversOfFormerFile(path);
    const bool fileNarrowed = !created && narrowed(file, S_IFREG, S_IRUSR | S_IWUSR);
    if (directoryNarrowed || fileNarrowed)
        qCWarning(lcTelemetry) << "The cache was readable by other users; it is private now:"
                               << QFileInfo(path).absolutePath();
}

// An older file keeps its mode until a VACUUM, which the cache runs once much of it is free.
// Where the file system cannot share memory between processes WAL is refused, and the file
// keeps its rollback journal, synced at each commit as before.
void setUpCacheConnection(const QSqlDatabase &db)
{
    QSqlQuery(db).exec(QStringLiteral("PRAGMA auto_vacuum = INCREMENTAL"));
    QSqlQuery mode(db);
    if (mode.exec(QStringLiteral("PRAGMA journal_mode = WAL")) && mode.next()
        && mode.value(0).toString() == QLatin1String("wal")) {
        QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous = NORMAL"));
        // A large flush grows the log; past a checkpoint it need not keep that size.
        QSqlQuery(db).exec(QStringLiteral("PRAGMA journal_size_limit = 1048576"));
    }
}

// One attempt: a checkpoint kept out by another one under way (which syncs the log too), or
// failing on a broken file, is not retried; the next commit asks again. In a file that is not
// in WAL mode every commit was synced already, and the checkpoint does nothing.
void syncCacheCommitsIfDue(const QSqlDatabase &db, CommitsToSync commits)
{
    SyncState &state = syncState();
    QMutexLocker locker(&state.mutex);
    state.unsynced = state.unsynced || commits != CommitsToSync::Waiting;
    if (!state.unsynced || (commits != CommitsToSync::OneThatShrinksTheFile && !isSyncDue(state)))
        return;
    QSqlQuery(db).exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"));
    state.sinceSync.start();
    state.unsynced = false;
}

CacheSync cacheSync()
{
    SyncState &state = syncState();
    QMutexLocker locker(&state.mutex);
    if (!state.unsynced)
        return CacheSync::None;
    return isSyncDue(state) ? CacheSync::Due : CacheSync::Waiting;
}

void removeLeftoversOfEmptyFile(const QString &path)
{
    const FileIdentity identity = fileIdentity(path);
    if (identity.exists && identity.size == 0)
        removeLeftoversOfFormerFile(path);
}

FileIdentity fileIdentity(const QString &path)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return {};
    return { true, quint64(status.st_dev), quint64(status.st_ino), qint64(status.st_size) };
}

int cacheFileGeneration()
{
    return s_generation.load(std::memory_order_acquire);
}

QReadWriteLock &cacheFileLock()
{
    static QReadWriteLock lock;
    return lock;
}

void bumpCacheFileGeneration()
{
    s_generation.fetch_add(1, std::memory_order_acq_rel);
}

StorageIdKeeper::~StorageIdKeeper() = default;

std::optional<int> StorageIdKeeper::storageIdInCurrentFile(int)
{
    return -1;
}

void StorageIdKeeper::keepStorageIds(const QHash<int, int> &) { }

StorageIdKeeper *storageIdKeeper()
{
    return s_keeper.load(std::memory_order_acquire);
}

void installStorageIdKeeper(StorageIdKeeper *keeper)
{
    s_keeper.store(keeper, std::memory_order_release);
}

void uninstallStorageIdKeeper(StorageIdKeeper *keeper)
{
    s_keeper.compare_exchange_strong(keeper, &s_noKeeper, std::memory_order_acq_rel);
}

} // namespace kl::telemetry
