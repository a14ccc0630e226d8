#pragma once

#include <QtCore>

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

namespace kl::telemetry::test {

/**
 * Removes the System V semaphores and shared memory segments whose Qt key files lie in
 * @p tempPath. The library keeps its lock semaphores for the life of every process on purpose,
 * so the kernel objects of a temporary namespace outlive the processes that used it.
 */
inline void removeIpcObjects(const QString &tempPath)
{
    const QDir dir(tempPath);
    const auto keyOf = [&dir](const QString &name) {
        return ftok(QFile::encodeName(dir.filePath(name)).constData(), 'Q');
    };
    for (const QString &name : dir.entryList({ QStringLiteral("qipc_systemsem_*") }, QDir::Files)) {
        const int id = semget(keyOf(name), 0, 0);
        if (id != -1)
            semctl(id, 0, IPC_RMID);
    }
    for (const QString &name :
         dir.entryList({ QStringLiteral("qipc_sharedmemory_*") }, QDir::Files)) {
        const int id = shmget(keyOf(name), 0, 0);
        if (id != -1)
            shmctl(id, IPC_RMID, nullptr);
    }
}

} // namespace kl::telemetry::test
