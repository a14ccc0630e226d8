#pragma once

#include "telemetry/runtime/cachefile_p.h"

#include <QFileSystemWatcher>
#include <QHash>

#include <functional>

namespace kl::telemetry {

/**
 * Tells a publisher that rests, having found the cache empty, that another process may have
 * written records into it: any write to the cache file or to its write-ahead log, until it is
 * stopped. Watching costs nothing while nothing changes. Lives on the publisher's thread.
 */
class CacheFileWatch
{
public:
    explicit CacheFileWatch(std::function<void()> changed);

    /// Watches the cache file; false when it cannot be, and changes would go unseen but for
    /// the file's making, which is seen while its directory exists.
    bool start();
    void stop();
    /// Whether the cache file was deleted or replaced since the watch last started.
    bool fileReplaced() const;

private:
    void watch(const QString &path);
    void fileChanged(const QString &path);
    bool mayBeWrite(const QString &path) const;

    QFileSystemWatcher m_watcher;
    std::function<void()> m_changed;
    QString m_file; ///< the cache file when the watch started
    // Each watched file as it was when the watch last started.
    QHash<QString, FileIdentity> m_seen;
    qint64 m_startedNs = 0; ///< since the epoch, as file times
};

} // namespace kl::telemetry
