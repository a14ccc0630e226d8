#include "telemetry/runtime/watchduty_p.h"

#include "telemetry/runtime/lockfile_p.h"
#include "telemetry/runtime/runtime.h"

#include <atomic>

namespace kl::telemetry {

const char *kWatchLockName = "korvel.telemetry.lock.watch";

namespace {

enum class Duty { NotAsked, Awaited, Taken };

std::atomic<Duty> s_duty { Duty::NotAsked };

// Built at load, so that it outlives the publishers that set it.
Hook<void()> s_watchDutyTaken;

} // namespace

Hook<void()> &watchDutyTaken()
{
    return s_watchDutyTaken;
}

bool isOnWatchDuty()
{
    Duty asked = Duty::NotAsked;
    if (!s_duty.compare_exchange_strong(asked, Duty::Awaited))
        return asked == Duty::Taken;
    QString trouble;
    const QString path = lockFilePath(QString::fromLatin1(kWatchLockName), &trouble);
    const auto taken = [] {
        s_duty = Duty::Taken;
        s_watchDutyTaken.call();
    };
    if (!path.isEmpty() && keepLockFile(path, taken, &trouble)) {
        s_duty = Duty::Taken;
        return true;
    }
    if (trouble.isEmpty())
        return false;
    // Asked again at the next rest: the cache directory may be there by then.
    qCDebug(lcTelemetry).noquote() << "Watching the cache without the watch duty:" << trouble;
    s_duty = Duty::NotAsked;
    return true;
}

} // namespace kl::telemetry
