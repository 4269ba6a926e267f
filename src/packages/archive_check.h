#pragma once
// A package archive's own directory, read from the held archive after its hash check: before the
// extraction it decides whether every entry may be written at all, afterwards whether each listed
// file holds what its entry holds. PowerShell's exit code alone cannot say so: an entry whose
// old file could not be removed is skipped with an error that leaves the exit code 0.

#include <cstdint>
#include <map>

#include "packages/store.h"
#include "platform/handle.h"
#include "platform/text.h"

namespace varnix {

// What the extraction writes for each file name: the last entry of that name.
struct ArchiveFile {
    uint32_t crc32 = 0;
    uint64_t size = 0;
    WideString name;  // as decoded, for the path below the system directory and for messages
};

struct ArchiveDirectory {
    // By the name as the file system compares it: upper case, "\" for "/".
    std::map<WideString, ArchiveFile> files;
};

// Reads the held archive's directory and checks every entry name against the rule for archive
// entries of this package (varnix/value_rules.h). On a refusal, logs it and words errorText.
[[nodiscard]] bool readPackageArchive(const FileHandle& heldArchive, const PackagePaths& paths,
                                      const ByteString& packageName, ArchiveDirectory& directory,
                                      WideString& errorText);

// Each listed file that the archive holds has the size and CRC-32 of its entry, read once; every
// other file of the archive at least has its entry's size (a held one is skipped just the same,
// and the marker must not vouch for a package that keeps an old file of it). A listed item
// without an entry is left to the installed check. On a mismatch, logs the item and words
// errorText.
[[nodiscard]] bool extractedFilesMatchArchive(const ArchiveDirectory& directory,
                                              const PackagePaths& paths, WideString& errorText);

}  // namespace varnix
