#pragma once

#include "telemetry/runtime/hook_p.h"

namespace kl::telemetry {

/**
 * Whether the user lets this process send telemetry: true until the host says otherwise.
 * Process-wide and read by every part (recording drops records, the flush writes nothing, the
 * publisher sends nothing, the registry creates no file); TelemetryPolicy is its public face.
 * Any thread.
 */
bool isTelemetryEnabled();
void setTelemetryEnabled(bool enabled);

/// Called on the switching thread when telemetry is switched on again: what waited in the
/// cache meanwhile may be published.
Hook<void()> &telemetryEnabledAgain();

} // namespace kl::telemetry
