#pragma once

#include "telemetry/korveltelemetry_export.h"

#include <QString>

#include <memory>

class QSharedMemory;
class QSystemSemaphore;

namespace kl::telemetry {

/**
 * The lowercase hexadecimal SHA-1 digest of the UTF-8 bytes of @p key followed by those of
 * @p suffix: a fixed-length key that is safe for the system's named IPC objects.
 */
KORVELTELEMETRY_EXPORT QString generateKeyHash(const QString &key, const QString &suffix);

/**
 * A named, non-blocking lock shared by every process of the machine.
 *
 * The lock is held while one instance has created, and stays attached to, the shared memory
 * segment of the name; a system semaphore of the same name serialises the short steps that
 * look at, create or drop the segment. A holder that dies leaves its segment behind, and the
 * next instance constructed for that name clears it.
 *
 * An instance is used from one thread at a time. Nothing here logs or throws.
 */
class KORVELTELEMETRY_EXPORT SingleExecutor
{
public:
    /// A handle on the lock named @p key, not holding it; clears a dead holder's segment.
    explicit SingleExecutor(const QString &key);
    ~SingleExecutor();

    /// True while some other instance, in this or another process, holds the lock.
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
    QString m_memLockKey;
    QString m_sharedmemKey;
    std::unique_ptr<QSharedMemory> m_sharedMem;
    std::unique_ptr<QSystemSemaphore> m_memLock;
};

} // namespace kl::telemetry
