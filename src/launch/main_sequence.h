#pragma once

namespace varnix {

// The whole life of one launcher process; returns the process exit code (0 or 1).
int runLauncher();

}  // namespace varnix
