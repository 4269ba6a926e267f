#pragma once
// The package list of manifest.txt. Portable: no Windows header.

#include <cstddef>
#include <vector>

#include "platform/text.h"

namespace varnix {

struct PackageEntry {
    ByteString name;
    ByteString archive;
    ByteString sha256;  // lower-case hex as parsed
    bool required = false;
    std::vector<ByteString> files;  // relative to the system directory; empty items possible
};

using Manifest = std::vector<PackageEntry>;

// Never fails: lines that do not describe a valid package are skipped. A "package|" line is
// invalid also when a value could leave its place on disk (varnix/value_rules.h); how many
// such lines were skipped goes to `skippedPackageLines`. Other lines are no one's business: a
// newer site may add kinds of lines that this launcher must pass over.
Manifest parseManifest(const ByteString& text, size_t* skippedPackageLines = nullptr);

// Orders two listed items as the target file system compares file names: negative, zero when
// both name one file, positive.
using FileNameOrder = int (*)(const ByteString&, const ByteString&);

// Keeps the first of the entry's listed items that name one file, so that one file has one place
// in the backup, the restore and the installed check; returns how many items it dropped.
size_t dropDuplicateListedFiles(PackageEntry& entry, FileNameOrder order);

}  // namespace varnix
