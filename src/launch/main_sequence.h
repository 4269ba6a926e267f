#pragma once

#include "platform/text.h"

namespace varnix {

// The whole life of one launcher process; returns the process exit code (0 or 1).
int runLauncher();

// Removes a request file that an earlier run of the application left behind.
void deleteStaleDependencyRequest(const WideString& systemDir);

}  // namespace varnix
