#include "telemetry/publishing/cachefilewatch_p.h"

#include "telemetry/runtime/runtime.h"

#include <QFileInfo>

namespace kl::telemetry {

CacheFileWatch::CacheFileWatch(std::function<void()> changed)
{
    QObject::connect(&m_watcher, &QFileSystemWatcher::fileChanged, &m_watcher,
                     [changed = std::move(changed)] { changed(); });
}

// Writers in write-ahead-log mode change the log, not the file, until a checkpoint.
bool CacheFileWatch::start()
{
    const QString file = getCacheDataBaseLocation();
    const QString log = file + QLatin1String("-wal");
    if (QFileInfo::exists(log) && !m_watcher.files().contains(log))
        m_watcher.addPath(log);
    return m_watcher.files().contains(file) || m_watcher.addPath(file);
}

void CacheFileWatch::stop()
{
    if (!m_watcher.files().isEmpty())
        m_watcher.removePaths(m_watcher.files());
}

} // namespace kl::telemetry
