#pragma once
// Other processes by their executable name, and this process's own identity.

#include <windows.h>

#include <cstdint>

#include "platform/text.h"

namespace varnix {

// Any process of this executable name (compared case-insensitively, without a directory).
bool isProcessRunning(const WideString& executableName);
// Any process started from this executable file, however its path is spelled (compared as file
// identities; as text without regard to case when a file cannot be identified). A
// process of that file name whose path cannot be read counts as running: callers refuse to
// touch a root then, which is the safe answer.
bool isProgramRunning(const WideString& executablePath);

// No later process on this machine has the same pair, even once the id is reused.
struct ProcessIdentity {
    uint32_t id = 0;
    uint64_t creationTime = 0;  // FILETIME units
};
ProcessIdentity currentProcessIdentity();

// A handle to this process that a child may inherit, with the rights to wait for its end and to
// ask its id; null on failure (the thread's last error says why).
HANDLE openInheritableSelf();
// Starts `path` in `currentDirectory` with the handle `inherited` as the only one of this
// process's handles it inherits, and lets it run on its own. False when it did not start, with
// the system's error as the thread's last error.
bool startProcessInheritingOnly(const WideString& path, WideString commandLine,
                                const WideString& currentDirectory, HANDLE inherited);

}  // namespace varnix
