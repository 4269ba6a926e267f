#pragma once
// The launcher log: one line per call, never fails towards the caller, never throws.

#include "platform/text.h"

namespace varnix {

inline constexpr unsigned long long kLogRotationThreshold = 1048576;

// The host whose address never reaches the log; set once at start-up.
void logSetSiteHost(const WideString& host);
void logSetPath(const WideString& path);
void logRotate() noexcept;
void logWrite(const WideString& message) noexcept;

}  // namespace varnix
