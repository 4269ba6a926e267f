#pragma once

#include "manifest/manifest.h"
#include "platform/text.h"

namespace varnix {

// Download, hash check, backup, extraction into the system directory, marker - in that order.
bool installPackage(const WideString& rootDir, const WideString& systemDir,
                    const PackageEntry& entry, WideString& errorText);

}  // namespace varnix
