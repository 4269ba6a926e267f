#pragma once

#include "platform/text.h"

namespace varnix {

// Local\VarnixLauncher- + the hex SHA-256 of the upper-cased root path (UTF-8).
WideString launcherMutexName(const WideString& rootDir);

// The whole life of one launcher process; returns the process exit code (0 or 1).
int runLauncher();

}  // namespace varnix
