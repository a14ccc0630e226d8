#include "telemetry/runtime/singleexecutor.h"

#include "telemetry/runtime/runtime.h"
#include "telemetry/runtime/useripc_p.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QSharedMemory>
#include <QThread>

namespace kl::telemetry {

namespace {

constexpr int kSegmentSize = sizeof(qint64);

/*
 * The name of the file from which Qt derives the segment's System V key, alike in every Qt
 * version. Qt 6.6 gave these classes typed native keys, whose default type need not be the
 * System V objects of Qt 5 and earlier Qt 6; the legacy type is named there, and is the
 * default type of a native key set as a string. (Not built here: the Qt 6 tried is 6.4.)
 */
QString segmentFileName(const QString &key)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
    const auto type = QNativeIpcKey::legacyDefaultTypeForOs();
    return QFileInfo(QSharedMemory::legacyNativeKey(key, type).nativeKey()).fileName();
#else
    return QFileInfo(QSharedMemory(key).nativeKey()).fileName();
#endif
}

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
 * How the segment answered a step: a success says the lock works; an error other than
 * @p answer, which only tells whether the segment exists, is trouble.
 */
void sayAnswer(const QString &name, const QSharedMemory &segment,
               QSharedMemory::SharedMemoryError answer)
{
    if (segment.error() == QSharedMemory::NoError)
        sayLockState(name, QString());
    else if (segment.error() != answer)
        sayLockState(name, segment.errorString());
}

/*
 * Qt lets a QSharedMemory create once: after a create, made or refused, it refuses every further
 * create or attach ("unable to set key on lock"), so a flush that waits for the lock, or an
 * instance that took it before, could never take it again. The spent handle gives way to a
 * fresh one on the same key.
 */
void renew(std::unique_ptr<QSharedMemory> &segment)
{
    auto fresh = std::make_unique<QSharedMemory>();
    fresh->setNativeKey(segment->nativeKey());
    segment = std::move(fresh);
}

/// Holds the semaphore of a lock for one short step; says why when it cannot.
class StepGuard
{
public:
    StepGuard(const QString &name, IpcSemaphore *semaphore, const QString &trouble)
        : m_semaphore(semaphore && semaphore->acquire() ? semaphore : nullptr)
    {
        if (!m_semaphore)
            sayLockState(name, semaphore ? semaphore->trouble() : trouble);
    }
    ~StepGuard()
    {
        if (m_semaphore)
            m_semaphore->release();
    }
    bool isHeld() const { return m_semaphore != nullptr; }

private:
    Q_DISABLE_COPY(StepGuard)
    IpcSemaphore *m_semaphore;
};

} // namespace

QString generateKeyHash(const QString &key, const QString &suffix)
{
    const QByteArray bytes = key.toUtf8() + suffix.toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

/*
 * A QSharedMemory made with an ordinary key guards its own steps with a QSystemSemaphore,
 * which it removes and recreates as handles come and go; a process killed at the wrong moment
 * leaves that semaphore at zero for good. The lock's own semaphore already serialises every
 * step, so the segment is opened by the file name Qt would derive from the key, without the
 * extra semaphore, in the user's directory.
 */
SingleExecutor::SingleExecutor(const QString &key)
    : m_key(key)
    , m_sharedMem(std::make_unique<QSharedMemory>())
{
    const QString directory = keyFileDirectory(&m_trouble);
    if (directory.isEmpty())
        return;
    m_sharedMem->setNativeKey(
        directory + QLatin1Char('/')
        + segmentFileName(generateKeyHash(key, QStringLiteral("_sharedmemKey"))));
    m_memLock
        = std::make_unique<IpcSemaphore>(directory + QStringLiteral("/korvel_semaphore_")
                                         + generateKeyHash(key, QStringLiteral("_memLockKey")));

    // A segment whose holder died without detaching has no attachment left: attaching and
    // detaching once removes it, while a live holder's segment survives the probe.
    isAnotherRunning();
}

SingleExecutor::~SingleExecutor()
{
    release();
}

bool SingleExecutor::isAnotherRunning()
{
    if (m_sharedMem->isAttached())
        return false;

    StepGuard step(m_key, m_memLock.get(), m_trouble);
    if (!step.isHeld())
        return false;
    const bool attached = m_sharedMem->attach(QSharedMemory::ReadWrite);
    sayAnswer(m_key, *m_sharedMem, QSharedMemory::NotFound);
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
    if (m_sharedMem->isAttached()) {
        release();
        return false;
    }
    if (isAnotherRunning())
        return false;

    StepGuard step(m_key, m_memLock.get(), m_trouble);
    if (!step.isHeld())
        return false;
    const bool created = m_sharedMem->create(kSegmentSize, QSharedMemory::ReadWrite);
    sayAnswer(m_key, *m_sharedMem, QSharedMemory::AlreadyExists);
    if (!created)
        renew(m_sharedMem);
    return created;
}

void SingleExecutor::release()
{
    if (!m_sharedMem->isAttached())
        return;
    // Given up even without the semaphore, as the segment's destructor would do.
    StepGuard step(m_key, m_memLock.get(), m_trouble);
    m_sharedMem->detach();
    renew(m_sharedMem);
}

void SingleExecutor::swap(SingleExecutor &other)
{
    std::swap(m_key, other.m_key);
    std::swap(m_trouble, other.m_trouble);
    std::swap(m_sharedMem, other.m_sharedMem);
    std::swap(m_memLock, other.m_memLock);
}

} // namespace kl::telemetry
