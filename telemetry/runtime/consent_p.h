#pragma once

namespace kl::telemetry {

/**
 * Whether the user lets this process send telemetry: true until the host says otherwise.
 * Process-wide and read by every part (recording drops records, the flush writes nothing, the
 * publisher sends nothing, the registry creates no file); TelemetryPolicy is its public face.
 * Any thread.
 */
bool isTelemetryEnabled();
void setTelemetryEnabled(bool enabled);

} // namespace kl::telemetry
