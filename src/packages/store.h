#pragma once
// The package store: markers under system\.packages, work areas under the root directory.

#include <string_view>
#include <vector>

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

// system\.packages\{name}.sha256: the package's marker.
WideString packageMarkerPath(const WideString& systemDir, const WideString& name);
WideString rollbackMarkerPath(const WideString& packageRollbackDir);

// A listed item as the manifest spells it and as a path below the system directory.
struct ListedItem {
    ByteString spelled;       // "bin/app.dll": what the backup's missing-files list records
    WideString relativePath;  // L"bin\\app.dll"
};

// One package's names and paths, converted from the manifest's UTF-8 once and handed down
// through the check, the download, the backup, the extraction, the marker and a restore.
struct PackagePaths {
    WideString name;  // for log lines and dialogs
    WideString systemDir;
    WideString archivePath;  // in the download directory
    WideString url;
    WideString marker;               // system\.packages\{name}.sha256
    WideString rollbackDir;          // rootDir\_rollback\{name}
    std::vector<ListedItem> listed;  // the manifest's empty items are left out

    WideString inSystem(const ListedItem& item) const;
    WideString inBackup(const ListedItem& item) const;
};

PackagePaths packagePaths(const WideString& rootDir, const WideString& systemDir,
                          const PackageEntry& entry);

bool packageFilesPresent(const PackagePaths& paths);
// Every listed file exists and the marker holds the manifest's hash.
bool isPackageInstalled(const PackagePaths& paths, const ByteString& sha256);

}  // namespace varnix
