#pragma once
// The launcher's own process exit codes, whatever road a run takes.

namespace varnix {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;

}  // namespace varnix
