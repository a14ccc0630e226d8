#include "telemetry/runtime/singleexecutor.h"

#include "telemetry/runtime/dispatch.h"
#include "telemetry/runtime/lockfile_p.h"
#include "telemetry/runtime/runtime.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QThread>

#include <utility>

#include <unistd.h>

namespace kl::telemetry {

namespace {

// The longest wait of a thread whose event loop runs: its timers and events come first.
constexpr int kEventLoopWaitMs = 50;

// A live holder keeps a lock for a flush or the reading of a batch: a second at most, even for
// a full queue on a slow disk.
constexpr int kStuckHolderMs = 10000;

/*
 * Says a lock's trouble when it begins or changes, and once when it is over: every flush and
 * publish attempt makes a fresh lock, about once a second.
 */
void sayLockState(const QString &name, const QString &trouble)
{
    static QBasicMutex mutex;
    // Deliberately never freed: locks are taken during static destruction at exit.
    static auto *said = new QHash<QString, QString>;

    QMutexLocker locker(&mutex);
    QString &last = (*said)[name];
    if (last == trouble)
        return;
    if (trouble.isEmpty())
        qCInfo(lcTelemetry).noquote() << "The lock" << name << "can be taken again";
    else
        qCWarning(lcTelemetry).noquote() << "The lock" << name << "cannot be taken:" << trouble;
    last = trouble;
}

/*
 * Whether the lock of @p path, @p refused now because it is held elsewhere, has been so at every
 * attempt of this process for kStuckHolderMs while nobody took it: a holder that goes on takes
 * it again and again, and the count of takes moves.
 */
bool refusedForLong(const QString &path, bool refused)
{
    struct Refusals
    {
        QElapsedTimer since;
        quint64 takes = 0;
    };
    static QBasicMutex mutex;
    static auto *refusals = new QHash<QString, Refusals>; // as in sayLockState()

    if (!refused) {
        QMutexLocker locker(&mutex);
        refusals->remove(path);
        return false;
    }
    const quint64 takes = takesOf(path);
    QMutexLocker locker(&mutex);
    Refusals &seen = (*refusals)[path];
    if (!seen.since.isValid() || seen.takes != takes) {
        seen.since.start();
        seen.takes = takes;
    }
    return seen.since.hasExpired(kStuckHolderMs);
}

/*
 * Counts a take of @p fd, follows how long a holder has kept the lock of @p path when it was
 * refused, and says the lock's state; true past a holder that has stopped.
 */
bool noteAttempt(const QString &key, const QString &path, int fd, QString trouble)
{
    if (fd != -1)
        countTake(fd);
    const bool stuck = !path.isEmpty() && refusedForLong(path, fd == -1 && trouble.isEmpty());
    if (stuck)
        trouble = QStringLiteral("its holder has kept it for over %1 s; work goes on without it")
                      .arg(kStuckHolderMs / 1000);
    sayLockState(key, trouble);
    return stuck;
}

int boundedWait(int milliseconds)
{
    const bool inEventLoop = QThread::currentThread()->loopLevel() > 0;
    return inEventLoop ? qMin(milliseconds, kEventLoopWaitMs) : milliseconds;
}

} // namespace

QString generateKeyHash(const QString &key, const QString &suffix)
{
    const QByteArray bytes = key.toUtf8() + suffix.toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

SingleExecutor::SingleExecutor(const QString &key)
    : m_key(key)
{
}

SingleExecutor::~SingleExecutor()
{
    release();
}

bool SingleExecutor::isAnotherRunning() const
{
    if (m_file != -1)
        return false;
    QString trouble;
    const QString path = lockFilePath(m_key, &trouble);
    const bool taken = !path.isEmpty() && isLockFileTaken(path, &trouble);
    // Taken, it may still be a stopped holder's: only an attempt to take it can tell.
    if (!taken)
        sayLockState(m_key, trouble);
    return taken;
}

bool SingleExecutor::tryToRun()
{
    return takeWithin(0);
}

bool SingleExecutor::tryToRunFor(int milliseconds)
{
    return takeWithin(boundedWait(milliseconds));
}

bool SingleExecutor::takeWithin(int milliseconds)
{
    if (m_file != -1) {
        release();
        return false;
    }
    const QDeadlineTimer deadline(qMax(milliseconds, 0), Qt::PreciseTimer);
    QString trouble;
    const QString path = lockFilePath(m_key, &trouble);
    if (!path.isEmpty())
        m_file = waitForLockFile(path, deadline, &trouble);
    m_holderStuck = noteAttempt(m_key, path, m_file, trouble);
    return m_file != -1;
}

void SingleExecutor::whenFree(const QString &key, QThread *thread, int milliseconds, Taken taken)
{
    QString trouble;
    const QString path = lockFilePath(key, &trouble);
    auto once = std::make_shared<Taken>(std::move(taken));
    const auto answer = [key, path, thread, once](int fd, const QString &trouble) {
        // Held until the callable runs, or is dropped with its thread.
        auto lock = std::make_shared<SingleExecutor>(key);
        lock->m_file = fd;
        noteAttempt(key, path, fd, trouble);
        dispatchToThread(thread, 0, [once, lock] {
            auto held = std::make_unique<SingleExecutor>(lock->m_key);
            held->swap(*lock);
            (*once)(held->m_file != -1 ? std::move(held) : nullptr);
        });
    };
    if (path.isEmpty()) {
        answer(-1, trouble);
        return;
    }
    const quint64 ticket = queueForLockFile(path, answer);
    if (ticket != 0)
        dispatchToThread(thread, milliseconds, [path, ticket, once] {
            if (withdrawLockWait(path, ticket))
                (*once)(nullptr);
        });
}

bool SingleExecutor::isHolderStuck() const
{
    return m_holderStuck;
}

void SingleExecutor::release()
{
    if (m_file != -1)
        close(std::exchange(m_file, -1));
}

void SingleExecutor::swap(SingleExecutor &other)
{
    std::swap(m_key, other.m_key);
    std::swap(m_file, other.m_file);
    std::swap(m_holderStuck, other.m_holderStuck);
}

} // namespace kl::telemetry
