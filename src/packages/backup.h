#pragma once
// Per-package backup of the listed files and the marker, in rootDir\_rollback\{name}.

#include "manifest/manifest.h"
#include "platform/text.h"

namespace varnix {

// False (backup directory removed, errorText set) when any listed file cannot be saved.
bool backupPackage(const WideString& rootDir, const WideString& systemDir,
                   const PackageEntry& entry, WideString& errorText);
// Best effort: every failure is logged and skipped. Removes the backup afterwards.
bool restorePackage(const WideString& rootDir, const WideString& systemDir,
                    const PackageEntry& entry);

}  // namespace varnix
