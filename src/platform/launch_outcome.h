#pragma once
// How a start of the application is judged, shared by every layer that starts it.

#include <cstdint>

namespace varnix {

// The exit code that means the application still ran when the watch ended.
inline constexpr uint32_t kStillActive = 259;

// The launch outcome rule: created, and still running or ended with 0.
inline bool launchSucceeded(bool launched, uint32_t exitCode) {
    return launched && (exitCode == kStillActive || exitCode == 0);
}

}  // namespace varnix
