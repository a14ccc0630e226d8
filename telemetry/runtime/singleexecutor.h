#pragma once

#include "telemetry/korveltelemetry_export.h"

#include <QString>

#include <memory>

class QSharedMemory;

namespace kl::telemetry {

class IpcSemaphore;

/**
 * The lowercase hexadecimal SHA-1 digest of the UTF-8 bytes of @p key followed by those of
 * @p suffix: a fixed-length key that is safe for the system's named IPC objects.
 */
KORVELTELEMETRY_EXPORT QString generateKeyHash(const QString &key, const QString &suffix);

/**
 * A named, non-blocking lock shared by every process on the machine that uses the same cache
 * directory, whichever Qt the library was built with; other caches, and so other users, have
 * locks of their own.
 *
 * The lock is held while one instance has created, and stays attached to, the shared memory
 * segment of the name; a system semaphore of the same name serialises the short steps that
 * look at, create or drop the segment. Both are keyed from files beside the cache file, in a
 * directory only its user may enter. A holder that dies leaves its segment behind, and the
 * next instance constructed for that name clears it.
 *
 * While that directory, the semaphore or the segment cannot be used (another user's, for
 * instance), every attempt fails: a warning of lcTelemetry says why when that begins or
 * changes, and an info message when the lock can be taken again.
 *
 * An instance is used from one thread at a time. Nothing here throws.
 */
class KORVELTELEMETRY_EXPORT SingleExecutor
{
public:
    /// A handle on the lock named @p key, not holding it; clears a dead holder's segment.
    explicit SingleExecutor(const QString &key);
    ~SingleExecutor();

    /// True while some other instance, in this or another process, holds the lock; false
    /// also when the lock cannot be looked at.
    bool isAnotherRunning();
    /// Takes the lock if nobody holds it; true means this instance holds it now. A second call
    /// on a holder returns false and gives the lock up.
    bool tryToRun();
    /// Tries to take the lock until it is held or @p milliseconds have passed, sleeping in
    /// between; true means this instance holds it now.
    bool tryToRunFor(int milliseconds);
    /// Gives up the lock if this instance holds it.
    void release();
    /// Exchanges the locks, held or not, of two instances.
    void swap(SingleExecutor &other);

private:
    Q_DISABLE_COPY(SingleExecutor)

    QString m_key;
    QString m_trouble; // why the user's key directory cannot be used, when it cannot
    std::unique_ptr<QSharedMemory> m_sharedMem;
    std::unique_ptr<IpcSemaphore> m_memLock; // none without a key directory
};

} // namespace kl::telemetry
