#pragma once
// The package store: markers under system\.packages, work areas under the root directory.

#include "manifest/manifest.h"
#include "platform/text.h"

namespace varnix {

// system\.packages: the markers, and the manifest serial the launcher has accepted.
WideString packageStateDirectory(const WideString& systemDir);
WideString packageMarkerPath(const WideString& systemDir, const PackageEntry& entry);
WideString packageRollbackDir(const WideString& rootDir, const PackageEntry& entry);
WideString rollbackMarkerPath(const WideString& packageRollbackDir);
WideString packageUrl(const PackageEntry& entry);
// A listed item as a path under `base`: "/" becomes "\".
WideString listedFilePath(const WideString& base, const ByteString& item);

bool packageFilesPresent(const WideString& systemDir, const PackageEntry& entry);
// Every listed file exists and the marker holds the manifest's hash.
bool isPackageInstalled(const WideString& systemDir, const PackageEntry& entry);

}  // namespace varnix
