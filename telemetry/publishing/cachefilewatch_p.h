#pragma once

#include <QFileSystemWatcher>

#include <functional>

namespace kl::telemetry {

/**
 * Tells a publisher that rests, having found the cache empty, that another process may have
 * written records into it: any change of the cache file or of its write-ahead log. Watching
 * costs nothing while nothing changes. Lives on the publisher's thread.
 */
class CacheFileWatch
{
public:
    explicit CacheFileWatch(std::function<void()> changed);

    /// Watches the cache file; false when it cannot be, and changes would go unseen.
    bool start();
    void stop();

private:
    QFileSystemWatcher m_watcher;
};

} // namespace kl::telemetry
