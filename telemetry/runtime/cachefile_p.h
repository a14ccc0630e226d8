#pragma once

#include <QReadWriteLock>
#include <QString>

namespace kl::telemetry {

/// Which file a path names at a given moment; two files are the same only with equal ids.
struct FileIdentity
{
    bool exists = false;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;

    bool sameFileAs(const FileIdentity &other) const
    {
        return exists && other.exists && device == other.device && inode == other.inode;
    }
};

FileIdentity fileIdentity(const QString &path);

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

} // namespace kl::telemetry
