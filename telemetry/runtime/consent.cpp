#include "telemetry/runtime/consent_p.h"

#include <QCoreApplication>
#include <QMutex>

#include <atomic>

namespace kl::telemetry {

namespace {
std::atomic<bool> s_enabled { true };
Hook<void()> s_enabledAgain;

// The most detailed level records may have: kUngoverned while no consent governs.
constexpr int kUngoverned = -2;
std::atomic<int> s_allowedLevel { kUngoverned };

struct Governor
{
    QMutex mutex;
    QString application;
    ConsentDecision decision;
};

Governor &governor()
{
    static Governor instance;
    return instance;
}
} // namespace

bool isTelemetryEnabled()
{
    return s_enabled.load(std::memory_order_relaxed);
}

void setTelemetryEnabled(bool enabled)
{
    if (!s_enabled.exchange(enabled, std::memory_order_relaxed) && enabled)
        s_enabledAgain.call();
}

Hook<void()> &telemetryEnabledAgain()
{
    return s_enabledAgain;
}

QString defaultConsentApplication()
{
    return QCoreApplication::organizationDomain() + QLatin1Char('/')
        + QCoreApplication::applicationName();
}

void governRecords(const QString &application, ConsentDecision decision)
{
    Governor &state = governor();
    QMutexLocker locker(&state.mutex);
    state.application = application;
    state.decision = decision;
    s_allowedLevel.store(decision.level, std::memory_order_relaxed);
}

QString governingApplication()
{
    Governor &state = governor();
    QMutexLocker locker(&state.mutex);
    return state.application;
}

ConsentDecision governingDecision()
{
    Governor &state = governor();
    QMutexLocker locker(&state.mutex);
    return state.decision;
}

bool isLevelAllowed(int level)
{
    const int allowed = s_allowedLevel.load(std::memory_order_relaxed);
    return allowed == kUngoverned || levelAllows(allowed, level);
}

} // namespace kl::telemetry
