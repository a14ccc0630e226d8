#include "telemetry/runtime/useripc_p.h"

#include "telemetry/runtime/runtime.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kl::telemetry {

namespace {

/*
 * The set holds the lock's count and a mark that the count was set. A new set starts at zero;
 * whoever opens it next, its creator or anybody else, sets both in one operation that only
 * succeeds while the mark is zero. A creator killed before that leaves the setting to the next
 * opener, and two openers can never both add the count. Each instance does this before its
 * first acquire, so no acquire meets a count not yet set.
 */
constexpr unsigned short kCount = 0;
constexpr unsigned short kSet = 1;

// The argument of semctl(), which its callers declare; only buf is used here.
union semun {
    int val; // cppcheck-suppress unusedStructMember
    semid_ds *buf;
    unsigned short *array; // cppcheck-suppress unusedStructMember
};

// "WHAT: the system's reason for the last failure".
QString systemError(const QString &what)
{
    const QString reason = QString::fromLocal8Bit(std::strerror(errno));
    return what + QStringLiteral(": ") + reason;
}

bool isOwnDirectory(const struct stat &info)
{
    return S_ISDIR(info.st_mode) && info.st_uid == geteuid();
}

} // namespace

// Beside the cache file: every process that shares a cache meets the same locks, whatever its
// temp directory or session, and no two caches, nor two users, share one.
QString keyFileDirectory(QString *trouble)
{
    const QString directory = QFileInfo(getCacheDataBaseLocation()).absolutePath();
    struct stat info;
    if (stat(QFile::encodeName(directory).constData(), &info) != 0) {
        *trouble = systemError(directory);
        return {};
    }
    if (!isOwnDirectory(info)) {
        *trouble = directory + QStringLiteral(" is not a directory of this user's own");
        return {};
    }
    return directory;
}

IpcSemaphore::IpcSemaphore(const QString &keyFile)
    : m_name(QStringLiteral("the semaphore of ") + keyFile)
{
    const QByteArray path = QFile::encodeName(keyFile);
    const int file = open(path.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (file != -1)
        close(file);
    const key_t key = semaphoreKey(keyFile);
    const int id = key == -1 ? -1 : semget(key, 2, IPC_CREAT | 0600);
    if (id == -1 && errno == EINVAL) { // a set of another size has the key
        m_trouble = m_name + QStringLiteral(" has the key of another program's semaphore");
        return;
    }
    semid_ds info;
    semun argument;
    argument.buf = &info;
    if (id == -1 || semctl(id, 0, IPC_STAT, argument) == -1) {
        fail();
        return;
    }
    // However unlikely, a key may meet another user's semaphore.
    if (info.sem_perm.uid != geteuid() || info.sem_perm.cuid != geteuid()) {
        m_trouble = m_name + QStringLiteral(" belongs to another user");
        return;
    }
    sembuf setCount[] = { { kSet, 0, IPC_NOWAIT }, { kCount, 1, 0 }, { kSet, 1, 0 } };
    if (semop(id, setCount, 3) == -1 && errno != EAGAIN) { // EAGAIN: it was set already
        fail();
        return;
    }
    m_id = id;
}

bool IpcSemaphore::acquire()
{
    return m_id != -1 && change(-1);
}

void IpcSemaphore::release()
{
    change(1);
}

// The kernel undoes a change of a process that dies, so a killed holder frees the count.
bool IpcSemaphore::change(short delta)
{
    sembuf operation { kCount, delta, SEM_UNDO };
    int result;
    do {
        result = semop(m_id, &operation, 1);
    } while (result == -1 && errno == EINTR);
    if (result == -1)
        fail();
    return result == 0;
}

void IpcSemaphore::fail()
{
    m_trouble = systemError(m_name);
}

} // namespace kl::telemetry
