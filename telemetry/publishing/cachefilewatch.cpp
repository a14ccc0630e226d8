#include "telemetry/publishing/cachefilewatch_p.h"

#include "telemetry/runtime/runtime.h"

#include <QDateTime>
#include <QFileInfo>

namespace kl::telemetry {

namespace {

// File times move in ticks of the kernel's clock, or of whole seconds on some file systems: a
// write within the tick of the one before may leave the time as it was.
constexpr qint64 kFileTimeTickNs = 2000000000;

// Where SQLite keeps the write-ahead log of @p file.
QString logOf(const QString &file)
{
    return file + QLatin1String("-wal");
}

} // namespace

CacheFileWatch::CacheFileWatch(std::function<void()> changed)
    : m_changed(std::move(changed))
{
    QObject::connect(&m_watcher, &QFileSystemWatcher::fileChanged, &m_watcher,
                     [this](const QString &path) { fileChanged(path); });
    QObject::connect(&m_watcher, &QFileSystemWatcher::directoryChanged, &m_watcher, [this] {
        if (QFileInfo::exists(m_file))
            m_changed();
    });
}

// Writers in write-ahead-log mode change the log, not the file, until a checkpoint. Called
// under the main lock, which writers take: what is seen here is the cache found empty.
bool CacheFileWatch::start()
{
    m_file = getCacheDataBaseLocation();
    m_seen.clear();
    const QString log = logOf(m_file);
    m_startedNs = QDateTime::currentMSecsSinceEpoch() * 1000000;
    if (QFileInfo::exists(log))
        watch(log);
    watch(m_file);
    if (m_watcher.files().contains(m_file))
        return true;
    // Until the file exists, its making is the change to see.
    const QString folder = QFileInfo(m_file).absolutePath();
    if (!m_watcher.directories().contains(folder) && QFileInfo::exists(folder))
        m_watcher.addPath(folder);
    return false;
}

void CacheFileWatch::stop()
{
    const QStringList watched = m_watcher.files() + m_watcher.directories();
    if (!watched.isEmpty())
        m_watcher.removePaths(watched);
}

void CacheFileWatch::watch(const QString &path)
{
    if (m_watcher.files().contains(path) || m_watcher.addPath(path))
        m_seen.insert(path, fileIdentity(path));
}

void CacheFileWatch::fileChanged(const QString &path)
{
    if (mayBeWrite(path))
        m_changed();
}

bool CacheFileWatch::fileReplaced() const
{
    return !fileIdentity(m_file).sameFileAs(m_seen.value(m_file));
}

// A change of owner or mode writes nothing, and SQLite run as root sets the log's owner at each
// open: every other process's first read would wake this one. While there is a log, writers
// write there; the file changes at checkpoints, which bring nothing new, unless it is deleted,
// replaced or emptied. A file written just before the watch started may be written again
// without a trace in its time or size (a log that starts over, a page written in place): any
// change counts then. An empty log grows with any write.
bool CacheFileWatch::mayBeWrite(const QString &path) const
{
    const FileIdentity now = fileIdentity(path);
    const FileIdentity seen = m_seen.value(path);
    if (!now.sameFileAs(seen))
        return true;
    const QString log = logOf(m_file);
    if (path == m_file && now.size > 0 && m_seen.contains(log))
        return false; // a checkpoint
    const bool writtenJustBefore
        = seen.modifiedNs > m_startedNs - kFileTimeTickNs && !(path == log && seen.size == 0);
    return writtenJustBefore || !now.sameContentAs(seen);
}

} // namespace kl::telemetry
