#pragma once
// How a start of the application is judged, shared by every layer that starts it.

#include <cstdint>

#include "platform/fs.h"
#include "platform/text.h"

namespace varnix {

// The exit code that means the application still ran when the watch ended.
inline constexpr uint32_t kStillActive = 259;

// One start of the application: whether the process was created, why not, and how it ended
// within the watch (kStillActive while it still runs).
struct LaunchResult {
    bool created = false;
    uint32_t win32Error = 0;
    uint32_t exitCode = kStillActive;

    // Created, and still running or ended with 0.
    bool succeeded() const { return created && (exitCode == kStillActive || exitCode == 0); }
};

// How a failed start reads in the log: the creation error, then the exit code.
inline WideString launchFailureText(const LaunchResult& result) {
    return win32ErrorText(result.win32Error) + L" early exit: " + decimal(result.exitCode);
}

}  // namespace varnix
