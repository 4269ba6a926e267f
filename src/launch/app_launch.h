#pragma once
// Starting Varnix.exe with its one-time launch token, and watching it for a short while.

#include <cstdint>

#include "platform/launch_outcome.h"
#include "platform/text.h"
#include "varnix/contract.h"

namespace varnix {

inline constexpr uint32_t kLaunchWatchMilliseconds = contract::kLaunchWatchMilliseconds;
inline constexpr const wchar_t* kApplicationFileName = contract::kApplicationFileName;

// 64 lower-case hex digits from the system RNG; empty when the generator fails.
ByteString generateLaunchToken();

// Starts Varnix.exe and watches it for kLaunchWatchMilliseconds.
LaunchResult launchApplication(const WideString& rootDir, const WideString& systemDir);

}  // namespace varnix
