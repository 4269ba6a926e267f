#pragma once
// The package store: markers under system\.packages, work areas under the root directory.

#include <string_view>

#include "manifest/manifest.h"
#include "platform/text.h"
#include "varnix/value_rules.h"

namespace varnix {

// system\.packages: the markers, and the manifest serial the launcher has accepted.
WideString packageStateDirectory(const WideString& systemDir);
// The store's fixed ASCII names (varnix/value_rules.h) as path text.
WideString asciiText(std::string_view ascii);
// A name or archive as one path component. The parser has refused every value that is not a
// plain file name, so this only converts.
WideString pathComponent(const ByteString& value);

// The scratch directory a package's archive is downloaded into; no installation leaves it behind.
WideString downloadDirectory(const WideString& rootDir);
// rootDir\_rollback: one backup directory per package installed in the current run.
WideString rollbackRoot(const WideString& rootDir);

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
