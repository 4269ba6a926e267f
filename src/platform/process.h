#pragma once
// Other processes by their executable name, and this process's own identity.

#include <cstdint>

#include "platform/text.h"

namespace varnix {

// Any process of this executable name (compared case-insensitively, without a directory).
bool isProcessRunning(const WideString& executableName);

// No later process on this machine has the same pair, even once the id is reused.
struct ProcessIdentity {
    uint32_t id = 0;
    uint64_t creationTime = 0;  // FILETIME units
};
ProcessIdentity currentProcessIdentity();

}  // namespace varnix
