#pragma once

#include "telemetry/runtime/useripc_p.h"

#include <QtCore>

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

namespace kl::telemetry::test {

/**
 * Removes the System V semaphores and shared memory segments of the locks whose key files lie
 * beside the cache file of the cache home @p cacheHome (an XDG_CACHE_HOME). The library never
 * removes its lock semaphores, on purpose, so the kernel objects of a temporary cache outlive
 * the processes that used it.
 */
inline void removeIpcObjects(const QString &cacheHome)
{
    const QDir dir(cacheHome + QLatin1String("/KorvelTelemetry"));
    for (const QString &name :
         dir.entryList({ QStringLiteral("korvel_semaphore_*") }, QDir::Files)) {
        const int id = semget(semaphoreKey(dir.filePath(name)), 0, 0);
        if (id != -1)
            semctl(id, 0, IPC_RMID);
    }
    for (const QString &name :
         dir.entryList({ QStringLiteral("qipc_sharedmemory_*") }, QDir::Files)) {
        const int id = shmget(ftok(QFile::encodeName(dir.filePath(name)).constData(), 'Q'), 0, 0);
        if (id != -1)
            shmctl(id, IPC_RMID, nullptr);
    }
}

} // namespace kl::telemetry::test
