#pragma once
// What of an installation root is Varnix's: the names the uninstaller removes, and the programs
// whose running process blocks the setup and the uninstaller.

#include <vector>

#include "platform/text.h"

namespace varnix::setup {

// Everything directly in a root that the launcher and its updates create, the launcher itself
// last. The uninstaller removes these and nothing else; the uninstaller file itself is the setup
// script's to remove.
std::vector<WideString> ownedRootPaths(const WideString& rootDir);

// What only a Varnix root holds: the launcher, or the package markers its updates write. A
// directory with neither is not one, whatever else of these names it holds.
std::vector<WideString> rootMarkPaths(const WideString& rootDir);

// The launcher, its promotion copy and the application of this root.
std::vector<WideString> rootProgramPaths(const WideString& rootDir);

}  // namespace varnix::setup
