#pragma once
// "Restart to update": the application starts the launcher with VARNIX_RESTART_AFTER_PID set to
// its own process id and exits. The launcher gives it time to end before the already-running
// check, which would otherwise stop the update.

#include <cstdint>
#include <optional>

#include "platform/text.h"
#include "varnix/contract.h"

namespace varnix {

inline constexpr uint32_t kRestartWaitMilliseconds = contract::kRestartWaitMilliseconds;

enum class RestartWait { NotRequested, NotAProcessId, AlreadyEnded, Ended, StillRunning };

// Decimal digits only, 1 to 4294967295; anything else is no process id.
std::optional<uint32_t> parseProcessId(const WideString& text);

// Without the variable: nothing. Otherwise waits at most timeoutMs for that process, writes one
// log line and removes the variable, so that Varnix.exe does not inherit it.
RestartWait waitForRestartingApplication(uint32_t timeoutMs = kRestartWaitMilliseconds);

}  // namespace varnix
