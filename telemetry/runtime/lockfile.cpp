#include "telemetry/runtime/lockfile_p.h"

#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/singleexecutor.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QWaitCondition>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kl::telemetry {

namespace {

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

QByteArray encodedPath(const QString &path)
{
    return QFile::encodeName(path);
}

// Only the user can open the file: the directory is theirs alone.
int openLockFile(const QString &path, QString *trouble)
{
    const int fd
        = open(encodedPath(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd == -1)
        *trouble = systemError(path);
    return fd;
}

struct flock wholeFile()
{
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return lock;
}

// Whether @p fd is still the file at @p path: one deleted or replaced since it was opened locks
// nobody out.
bool isStillAt(int fd, const QString &path)
{
    struct stat opened;
    struct stat current;
    return fstat(fd, &opened) == 0 && stat(encodedPath(path).constData(), &current) == 0
        && opened.st_dev == current.st_dev && opened.st_ino == current.st_ino;
}

/*
 * Locks the file with @p command, F_OFD_SETLK or F_OFD_SETLKW. The lock belongs to the open
 * file description, not to the process: two descriptors of one process exclude each other, the
 * kernel drops the lock when the last descriptor of it closes, at the latest when its process
 * dies, and a stopped process keeps it.
 */
int lockFileWith(const QString &path, int command, QString *trouble)
{
    for (;;) {
        const int fd = openLockFile(path, trouble);
        if (fd == -1)
            return -1;
        struct flock lock = wholeFile();
        int result;
        do {
            result = fcntl(fd, command, &lock);
        } while (result == -1 && errno == EINTR);
        if (result == -1 && errno != EAGAIN && errno != EACCES)
            *trouble = systemError(path);
        if (result == 0 && isStillAt(fd, path))
            return fd;
        close(fd);
        if (result == -1)
            return -1;
    }
}

/*
 * A detached thread that may sleep in a lock's queue while the process ends. It blocks every
 * signal: the host's handlers never run on it, and none interrupts it.
 */
bool startWaitingThread(void *(*run)(void *), void *argument)
{
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, run, argument) == 0;
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return started;
}

struct LockForGood
{
    QString path;
    std::function<void()> taken;
};

// Its descriptor stays open, so that the lock is held until the process ends.
void *waitForGood(void *argument)
{
    const std::unique_ptr<LockForGood> lock(static_cast<LockForGood *>(argument));
    QString trouble;
    if (lockFileWith(lock->path, F_OFD_SETLKW, &trouble) != -1)
        lock->taken();
    return nullptr;
}

struct Request
{
    int fd = -1;
    bool answered = false;
    QString trouble;
    // A request nobody waits on is answered through this, and numbered for its withdrawal.
    std::function<void(int, const QString &)> onAnswer;
    quint64 ticket = 0;
};

/*
 * The waits of this process for one lock file. Its thread lives while somebody waits, and
 * sleeps in the kernel's queue of the lock; the lock it gets goes to the earliest request
 * still waiting. Never freed: the thread may still sleep there while the process ends.
 */
class LockQueue
{
public:
    static LockQueue &of(const QString &path);
    int wait(QDeadlineTimer deadline, QString *trouble);
    quint64 enqueue(std::function<void(int, const QString &)> onAnswer);
    bool withdraw(quint64 ticket);

private:
    explicit LockQueue(const QString &path)
        : m_path(path)
    {
    }
    static void *serve(void *queue);
    bool startServing();
    void answer(int fd, const QString &trouble);

    const QString m_path;
    QMutex m_mutex;
    QWaitCondition m_answered;
    std::deque<Request *> m_waiting;
    bool m_serving = false;
    quint64 m_lastTicket = 0;
};

LockQueue &LockQueue::of(const QString &path)
{
    static QBasicMutex mutex;
    static auto *queues = new QHash<QString, LockQueue *>;
    QMutexLocker locker(&mutex);
    LockQueue *&queue = (*queues)[path];
    if (!queue)
        queue = new LockQueue(path);
    return *queue;
}

int LockQueue::wait(QDeadlineTimer deadline, QString *trouble)
{
    Request request;
    QMutexLocker locker(&m_mutex);
    m_waiting.push_back(&request);
    if (!m_serving && !startServing())
        answer(-1, QStringLiteral("no thread can wait for ") + m_path);
    while (!request.answered && m_answered.wait(&m_mutex, deadline)) { }
    if (!request.answered)
        m_waiting.erase(std::find(m_waiting.begin(), m_waiting.end(), &request));
    *trouble = request.trouble;
    return request.fd;
}

quint64 LockQueue::enqueue(std::function<void(int, const QString &)> onAnswer)
{
    auto *request = new Request;
    request->onAnswer = std::move(onAnswer);
    QMutexLocker locker(&m_mutex);
    request->ticket = ++m_lastTicket;
    m_waiting.push_back(request);
    const quint64 ticket = request->ticket; // without a thread, answer() deletes the request
    if (!m_serving && !startServing())
        answer(-1, QStringLiteral("no thread can wait for ") + m_path);
    return ticket;
}

bool LockQueue::withdraw(quint64 ticket)
{
    QMutexLocker locker(&m_mutex);
    const auto request = std::find_if(m_waiting.begin(), m_waiting.end(),
                                      [ticket](const Request *r) { return r->ticket == ticket; });
    if (request == m_waiting.end())
        return false;
    delete *request;
    m_waiting.erase(request);
    return true;
}

bool LockQueue::startServing()
{
    m_serving = startWaitingThread(&LockQueue::serve, this);
    return m_serving;
}

void *LockQueue::serve(void *queue)
{
    auto *self = static_cast<LockQueue *>(queue);
    for (;;) {
        QString trouble;
        const int fd = lockFileWith(self->m_path, F_OFD_SETLKW, &trouble);
        QMutexLocker locker(&self->m_mutex);
        self->answer(fd, trouble);
        if (self->m_waiting.empty()) {
            self->m_serving = false;
            return nullptr;
        }
    }
}

// The lock @p fd goes to the earliest request, or back at once when none waits any more;
// without a lock every request fails with @p trouble.
void LockQueue::answer(int fd, const QString &trouble)
{
    if (fd != -1 && m_waiting.empty())
        close(fd);
    while (!m_waiting.empty()) {
        Request *request = m_waiting.front();
        m_waiting.pop_front();
        request->fd = fd;
        request->trouble = trouble;
        request->answered = true;
        if (request->onAnswer) {
            request->onAnswer(fd, trouble);
            delete request;
        }
        if (fd != -1)
            break;
    }
    m_answered.wakeAll();
}

} // namespace

// Beside the cache file: every process that shares a cache meets the same locks, whatever its
// temp directory, session or Qt version, and no two caches, nor two users, share one.
QString lockFilePath(const QString &name, QString *trouble)
{
    const QString directory = QFileInfo(getCacheDataBaseLocation()).absolutePath();
    struct stat info;
    if (stat(encodedPath(directory).constData(), &info) != 0) {
        *trouble = systemError(directory);
        return {};
    }
    if (!isOwnDirectory(info)) {
        *trouble = directory + QStringLiteral(" is not a directory of this user's own");
        return {};
    }
    return directory + QStringLiteral("/korvel_lock_")
        + generateKeyHash(name, QStringLiteral("_lockFile"));
}

int takeLockFile(const QString &path, QString *trouble)
{
    return lockFileWith(path, F_OFD_SETLK, trouble);
}

int waitForLockFile(const QString &path, QDeadlineTimer deadline, QString *trouble)
{
    const int fd = takeLockFile(path, trouble);
    if (fd != -1 || !trouble->isEmpty() || deadline.hasExpired())
        return fd;
    return LockQueue::of(path).wait(deadline, trouble);
}

quint64 queueForLockFile(const QString &path, std::function<void(int, const QString &)> answered)
{
    QString trouble;
    const int fd = takeLockFile(path, &trouble);
    // cppcheck-suppress knownConditionTrueFalse ; takeLockFile() says its trouble
    if (fd != -1 || !trouble.isEmpty()) {
        answered(fd, trouble);
        return 0;
    }
    return LockQueue::of(path).enqueue(std::move(answered));
}

bool withdrawLockWait(const QString &path, quint64 ticket)
{
    return ticket != 0 && LockQueue::of(path).withdraw(ticket);
}

bool keepLockFile(const QString &path, std::function<void()> taken, QString *trouble)
{
    if (takeLockFile(path, trouble) != -1)
        return true;
    if (!trouble->isEmpty())
        return false;
    auto *lock = new LockForGood { path, std::move(taken) };
    if (!startWaitingThread(&waitForGood, lock)) {
        delete lock;
        *trouble = QStringLiteral("no thread can wait for ") + path;
    }
    return false;
}

// The count is the file's first eight bytes, written only by a holder.
void countTake(int fd)
{
    quint64 takes = 0;
    if (pread(fd, &takes, sizeof takes, 0) != ssize_t(sizeof takes))
        takes = 0;
    ++takes;
    // Where the count cannot be written (a full disk before its first write) it stands still,
    // and others take a busy lock for a stopped one after 10 s: they go on without it, safely.
    [[maybe_unused]] const ssize_t written = pwrite(fd, &takes, sizeof takes, 0);
}

quint64 takesOf(const QString &path)
{
    const int fd = open(encodedPath(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    quint64 takes = 0;
    if (fd != -1 && pread(fd, &takes, sizeof takes, 0) != ssize_t(sizeof takes))
        takes = 0;
    if (fd != -1)
        close(fd);
    return takes;
}

bool isLockFileTaken(const QString &path, QString *trouble)
{
    const int fd = openLockFile(path, trouble);
    if (fd == -1)
        return false;
    struct flock lock = wholeFile();
    const bool asked = fcntl(fd, F_OFD_GETLK, &lock) == 0;
    if (!asked)
        *trouble = systemError(path);
    close(fd);
    return asked && lock.l_type != F_UNLCK;
}

} // namespace kl::telemetry
