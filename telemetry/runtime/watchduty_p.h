#pragma once

#include "telemetry/korveltelemetry_export.h"
#include "telemetry/runtime/hook_p.h"

namespace kl::telemetry {

/// The lock whose holder watches the cache file for the other processes of its cache.
extern KORVELTELEMETRY_TESTS_EXPORT const char *kWatchLockName;

/**
 * Whether this process is the one of its cache that watches the cache file while it rests, for
 * records that others leave behind (a process that exits, another client): one process at a
 * time, so that a write wakes one process, not all. The first call asks for the duty: the
 * others wait in the kernel's queue of its lock without waking, and the next one comes on duty
 * when the process on it ends, killed or not. True also while the lock cannot be used: then
 * every process watches.
 */
KORVELTELEMETRY_TESTS_EXPORT bool isOnWatchDuty();

/// Called, on a thread of the library's own, when this process comes on duty after waiting.
KORVELTELEMETRY_TESTS_EXPORT Hook<void()> &watchDutyTaken();

} // namespace kl::telemetry
