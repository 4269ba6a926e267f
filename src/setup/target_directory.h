#pragma once
// Where the setup may put a root: a directory the user can write, outside the places where
// Windows keeps programs for every user (Varnix could not update itself there).

#include "platform/text.h"

namespace varnix::setup {

enum class TargetVerdict { Acceptable, Protected, Unwritable };

// The full path with 8.3 names expanded and junctions and links resolved as far as it exists;
// the part that does not exist yet is appended as given.
WideString resolvedPath(const WideString& path);

// Acceptable leaves the directory in place (made when it was missing), ready for the setup;
// any other verdict leaves nothing of the check behind.
TargetVerdict checkTargetDirectory(const WideString& directory);

}  // namespace varnix::setup
