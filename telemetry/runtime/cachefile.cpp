#include "telemetry/runtime/cachefile_p.h"

#include <QFile>

#include <atomic>

#include <sys/stat.h>

namespace kl::telemetry {

namespace {
std::atomic<int> s_generation { 0 };
StorageIdKeeper s_noKeeper;
std::atomic<StorageIdKeeper *> s_keeper { &s_noKeeper };
} // namespace

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
