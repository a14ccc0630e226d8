#include "telemetry/publishing/cachefilewatch_p.h"

#include "telemetry/runtime/runtime.h"

#include <QFileInfo>

namespace kl::telemetry {

CacheFileWatch::CacheFileWatch(std::function<void()> changed)
    : m_changed(std::move(changed))
{
    QObject::connect(&m_watcher, &QFileSystemWatcher::fileChanged, &m_watcher,
                     [this](const QString &path) { fileChanged(path); });
}

// Writers in write-ahead-log mode change the log, not the file, until a checkpoint. Called
// under the main lock, which writers take: what is seen here is the cache found empty.
bool CacheFileWatch::start()
{
    const QString file = getCacheDataBaseLocation();
    const QString log = file + QLatin1String("-wal");
    if (QFileInfo::exists(log))
        watch(log);
    watch(file);
    return m_watcher.files().contains(file);
}

void CacheFileWatch::stop()
{
    if (!m_watcher.files().isEmpty())
        m_watcher.removePaths(m_watcher.files());
    m_seen.clear();
}

void CacheFileWatch::watch(const QString &path)
{
    if (m_watcher.files().contains(path) || m_watcher.addPath(path))
        m_seen.insert(path, fileIdentity(path));
}

// A change of owner or mode writes nothing, and SQLite run as root sets the log's owner at each
// open: every other process's first read would wake this one. While there is a log, writers
// write there; the file changes at checkpoints, which bring nothing new, unless it is deleted
// or replaced. A write in the same clock tick as the one before the watch started, leaving the
// size as it was (a log that starts over), goes unseen until the next write.
void CacheFileWatch::fileChanged(const QString &path)
{
    const FileIdentity now = fileIdentity(path);
    const FileIdentity seen = m_seen.value(path);
    const bool checkpoint = path == getCacheDataBaseLocation()
        && m_seen.contains(path + QLatin1String("-wal")) && now.sameFileAs(seen);
    if (!checkpoint && !now.sameContentAs(seen))
        m_changed();
}

} // namespace kl::telemetry
