#include "telemetry/runtime/singleexecutor.h"

#include "telemetry/runtime/lockfile_p.h"
#include "telemetry/runtime/runtime.h"

#include <QCryptographicHash>
#include <QHash>
#include <QMutex>
#include <QThread>

#include <utility>

#include <unistd.h>

namespace kl::telemetry {

namespace {

// The longest wait of a thread whose event loop runs: its timers and events come first.
constexpr int kEventLoopWaitMs = 50;

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
    sayLockState(m_key, trouble);
    return m_file != -1;
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
}

} // namespace kl::telemetry
