#pragma once

#include "telemetry/korveltelemetry_export.h"

#include <QString>

#include <functional>
#include <memory>

class QThread;

namespace kl::telemetry {

/**
 * The lowercase hexadecimal SHA-1 digest of the UTF-8 bytes of @p key followed by those of
 * @p suffix: a fixed-length name that is safe for any file system.
 * \ingroup advanced
 */
KORVELTELEMETRY_EXPORT QString generateKeyHash(const QString &key, const QString &suffix);

/**
 * A named lock shared by every process on the machine that uses the same cache directory,
 * whichever Qt the library was built with; other caches, and so other users, have locks of
 * their own.
 *
 * The lock is the kernel's lock on a file of the name beside the cache file, in a directory
 * only its user may enter, held through an open file of this instance: two instances exclude
 * each other in one process as in two. The kernel gives up the lock of a process that dies.
 *
 * While that directory or the file cannot be used, every attempt fails: a warning of
 * lcTelemetry says why when that begins or changes, and an info message when the lock can be
 * taken again. The same warning tells of a holder that has kept the lock for longer than any
 * live one does (isHolderStuck()).
 *
 * An instance is used from one thread at a time. Nothing here throws.
 * \ingroup advanced
 */
class KORVELTELEMETRY_EXPORT SingleExecutor
{
public:
    /// A handle on the lock named @p key, not holding it.
    explicit SingleExecutor(const QString &key);
    /// Destroys the handle, giving up the lock if it holds it.
    ~SingleExecutor();

    /// True while some other instance, in this or another process, holds the lock; false
    /// also when the lock cannot be looked at.
    bool isAnotherRunning() const;
    /// Takes the lock if nobody holds it, without waiting; true means this instance holds it
    /// now. A second call on a holder returns false and gives the lock up.
    bool tryToRun();
    /**
     * Waits in the kernel's queue of the lock until this instance holds it (true) or
     * @p milliseconds have passed (false). On a thread inside an event loop the wait ends
     * after 50 ms at most, so that no other process, even a stopped one, holds up that loop.
     * A call on a holder returns false and gives the lock up.
     */
    bool tryToRunFor(int milliseconds);
    /**
     * True when every attempt of this process to take the lock, over the last 10 s, found it
     * held, and nobody took it meanwhile (each take is counted in the lock's file): its holder
     * is stopped (a debugger, a job control stop, a frozen cgroup) or hangs, as no live holder
     * keeps it for so long. The work the lock orders may then go on without it, in the ways
     * that stay safe when two do it at once.
     */
    bool isHolderStuck() const;
    /// What whenFree() hands on: an instance holding the lock, or none.
    using Taken = std::function<void(std::unique_ptr<SingleExecutor>)>;
    /**
     * Joins the kernel's queue of the lock @p key without waiting for it: @p taken runs once
     * on the event loop of @p thread, with an instance that holds the lock as soon as it is
     * given up, or with none when @p milliseconds pass first or the lock cannot be used. A lock
     * taken for a thread that has finished is given back.
     */
    static void whenFree(const QString &key, QThread *thread, int milliseconds, Taken taken);
    /// Gives up the lock if this instance holds it.
    void release();
    /// Exchanges the locks, held or not, of two instances.
    void swap(SingleExecutor &other);

private:
    Q_DISABLE_COPY(SingleExecutor)
    bool takeWithin(int milliseconds);

    QString m_key;
    int m_file = -1; // the open lock file while this instance holds the lock
    bool m_holderStuck = false;
};

} // namespace kl::telemetry
