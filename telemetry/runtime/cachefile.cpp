#include "telemetry/runtime/cachefile_p.h"

#include "telemetry/runtime/linkedsqlite_p.h"
#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/tables_p.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>

#include <atomic>

#include <sqlite3.h>

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

} // namespace

void keepCacheFilePrivate(const QString &path)
{
    const QByteArray file = QFile::encodeName(path);
    const QByteArray directory = QFile::encodeName(QFileInfo(path).absolutePath());
    // Both, whichever was open to others. Once narrowed they are not again, so this is said
    // once, by whichever connection opens the file first.
    const bool directoryNarrowed = narrowed(directory, S_IFDIR, S_IRWXU);
    const bool fileNarrowed = !createdPrivate(file) && narrowed(file, S_IFREG, S_IRUSR | S_IWUSR);
    if (directoryNarrowed || fileNarrowed)
        qCWarning(lcTelemetry) << "The cache was readable by other users; it is private now:"
                               << QFileInfo(path).absolutePath();
}

// An older file keeps its mode until a VACUUM, which the cache runs once much of it is free.
// Setting the mode that a file has writes it all the same: each start would wake every process
// that watches the file.
void setUpCacheConnection(const QSqlDatabase &db)
{
    if (firstValue(db, QStringLiteral("PRAGMA auto_vacuum")).toInt() != kIncrementalVacuum)
        QSqlQuery(db).exec(QStringLiteral("PRAGMA auto_vacuum = INCREMENTAL"));
    QSqlQuery(db).exec(QStringLiteral("PRAGMA wal_autocheckpoint = 0"));
    // Debian's SQLite zeroes every freed page: the delete of one large published record would
    // write all of it again. Its text reached the server; its pages go back to the file system.
    QSqlQuery(db).exec(QStringLiteral("PRAGMA secure_delete = FAST"));
    if (sqlite3 *handle = linkedSqliteHandle(db))
        sqlite3_db_config(handle, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
}

// Switching takes an exclusive lock: a connection that still has an emptied file open keeps
// it, and the switch is tried again by the next use under the main lock. With the log, commits
// are synced by checkpoints alone, every few seconds.
bool keepWriteAheadLog(const QSqlDatabase &db)
{
    const auto mode
        = [&db](const QString &statement) { return firstValue(db, statement).toString(); };
    const QLatin1String wal("wal");
    // A connection learns that another one switched the file only when it reads it.
    if (!QSqlQuery(db).exec(QStringLiteral("SELECT COUNT(*) FROM sqlite_master")))
        return false;
    if (mode(QStringLiteral("PRAGMA journal_mode")) != wal) {
        if (!linkedSqliteHandle(db))
            return false;
        for (const char *leftover : { "-wal", "-shm" })
            QFile::remove(db.databaseName() + QLatin1String(leftover));
        if (mode(QStringLiteral("PRAGMA journal_mode = WAL")) != wal)
            return false;
    }
    QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous = NORMAL"));
    // A large flush grows the log; once copied into the file it need not keep that size.
    QSqlQuery(db).exec(QStringLiteral("PRAGMA journal_size_limit = 1048576"));
    return true;
}

FileIdentity fileIdentity(const QString &path)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return {};
    return { true, quint64(status.st_dev), quint64(status.st_ino), qint64(status.st_size),
             qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec };
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
