#include "telemetry/runtime/singleexecutor.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QHash>
#include <QMutex>
#include <QSharedMemory>
#include <QSystemSemaphore>
#include <QThread>

namespace kl::telemetry {

namespace {

constexpr int kSegmentSize = sizeof(qint64);

/*
 * Qt 6.6 gave these classes typed native keys, whose default type need not be the System V
 * objects that Qt 5 and earlier Qt 6 derive from a key. The legacy type is named here, so that
 * processes built with any Qt meet the same kernel objects. (Not built here: the Qt 6 tried is
 * 6.4.)
 */
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
QSystemSemaphore *newSemaphore(const QString &key)
{
    return new QSystemSemaphore(
        QSystemSemaphore::legacyNativeKey(key, QNativeIpcKey::legacyDefaultTypeForOs()), 1,
        QSystemSemaphore::Open);
}

QNativeIpcKey segmentKey(const QString &key)
{
    return QSharedMemory::legacyNativeKey(key, QNativeIpcKey::legacyDefaultTypeForOs());
}
#else
QSystemSemaphore *newSemaphore(const QString &key)
{
    return new QSystemSemaphore(key, 1, QSystemSemaphore::Open);
}

QString segmentKey(const QString &key)
{
    return QSharedMemory(key).nativeKey();
}
#endif

/*
 * Qt removes a System V semaphore when the handle that created it is destroyed, even while
 * other processes are between an acquire and its release; their release then lands on a
 * fresh semaphore, the kernel's undo record of the acquire stays behind, and when such a
 * process exits the kernel takes a count from a free lock: zero with no holder, for good.
 * Each process therefore opens every lock semaphore once more and never closes that handle.
 * Whoever creates a semaphore first does so through such a handle, so it is never removed.
 */
void pinSemaphore(const QString &key)
{
    static QBasicMutex mutex;
    // Deliberately never freed: the handles must outlive static destruction at exit.
    static auto *pinned = new QHash<QString, QSystemSemaphore *>;

    const QString id = QDir::tempPath() + QLatin1Char('\n') + key;
    QMutexLocker locker(&mutex);
    if (!pinned->contains(id))
        pinned->insert(id, newSemaphore(key));
}

/*
 * A QSharedMemory made with an ordinary key guards its own steps with one more semaphore,
 * which it removes and recreates as handles come and go; a process killed at the wrong
 * moment leaves that semaphore at zero for good. The lock's own semaphore already
 * serialises every step, so the segment is opened under the system name that Qt derives
 * from the key (the same object that plain Qt users of the key meet), without the extra
 * semaphore.
 */
std::unique_ptr<QSharedMemory> openSegment(const QString &key)
{
    auto segment = std::make_unique<QSharedMemory>();
    segment->setNativeKey(segmentKey(key));
    return segment;
}

/// Holds the semaphore of a lock for one short step.
class StepGuard
{
public:
    explicit StepGuard(QSystemSemaphore &semaphore)
        : m_semaphore(semaphore)
    {
        m_semaphore.acquire();
    }
    ~StepGuard() { m_semaphore.release(); }

private:
    Q_DISABLE_COPY(StepGuard)
    QSystemSemaphore &m_semaphore;
};

} // namespace

QString generateKeyHash(const QString &key, const QString &suffix)
{
    const QByteArray bytes = key.toUtf8() + suffix.toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

SingleExecutor::SingleExecutor(const QString &key)
    : m_key(key)
    , m_memLockKey(generateKeyHash(key, QStringLiteral("_memLockKey")))
    , m_sharedmemKey(generateKeyHash(key, QStringLiteral("_sharedmemKey")))
    , m_sharedMem(openSegment(m_sharedmemKey))
{
    pinSemaphore(m_memLockKey);
    m_memLock.reset(newSemaphore(m_memLockKey));

    // A segment whose holder died without detaching has no attachment left: attaching and
    // detaching once removes it, while a live holder's segment survives the probe.
    StepGuard step(*m_memLock);
    openSegment(m_sharedmemKey)->attach(QSharedMemory::ReadWrite);
}

SingleExecutor::~SingleExecutor()
{
    release();
}

bool SingleExecutor::isAnotherRunning()
{
    if (m_sharedMem->isAttached())
        return false;

    StepGuard step(*m_memLock);
    const bool attached = m_sharedMem->attach(QSharedMemory::ReadWrite);
    if (attached)
        m_sharedMem->detach();
    return attached;
}

bool SingleExecutor::tryToRunFor(int milliseconds)
{
    constexpr int kStepMs = 20;
    const QDeadlineTimer deadline(milliseconds);
    while (!tryToRun()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(kStepMs);
    }
    return true;
}

bool SingleExecutor::tryToRun()
{
    if (isAnotherRunning())
        return false;

    bool created;
    {
        StepGuard step(*m_memLock);
        created = m_sharedMem->create(kSegmentSize, QSharedMemory::ReadWrite);
    }
    if (!created)
        release();
    return created;
}

void SingleExecutor::release()
{
    StepGuard step(*m_memLock);
    if (m_sharedMem->isAttached())
        m_sharedMem->detach();
}

void SingleExecutor::swap(SingleExecutor &other)
{
    std::swap(m_key, other.m_key);
    std::swap(m_memLockKey, other.m_memLockKey);
    std::swap(m_sharedmemKey, other.m_sharedmemKey);
    std::swap(m_sharedMem, other.m_sharedMem);
    std::swap(m_memLock, other.m_memLock);
}

} // namespace kl::telemetry
