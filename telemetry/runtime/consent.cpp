#include "telemetry/runtime/consent_p.h"

#include <atomic>

namespace kl::telemetry {

namespace {
std::atomic<bool> s_enabled { true };
}

bool isTelemetryEnabled()
{
    return s_enabled.load(std::memory_order_relaxed);
}

void setTelemetryEnabled(bool enabled)
{
    s_enabled.store(enabled, std::memory_order_relaxed);
}

} // namespace kl::telemetry
