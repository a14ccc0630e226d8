#include "telemetry/runtime/consent_p.h"

#include <atomic>

namespace kl::telemetry {

namespace {
std::atomic<bool> s_enabled { true };
Hook<void()> s_enabledAgain;
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

} // namespace kl::telemetry
