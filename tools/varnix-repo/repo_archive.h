#pragma once
// ZIP archives as the launcher's extraction will see them, read with libzip.

#include <string>
#include <vector>

namespace varnix_repo {

struct ArchiveListing {
    bool readable = false;
    std::string error;
    std::vector<std::string> files;     // file entries, in archive order, as stored
    std::vector<std::string> escaping;  // entries that would land outside the destination
};

ArchiveListing listArchive(const std::string& path);
// True when an entry name is absolute, carries a drive letter or climbs with "..".
bool entryEscapes(const std::string& name);
// Compares a manifest file item with an archive entry as Windows would: "\" = "/", any case.
bool sameRelativePath(const std::string& a, const std::string& b);

}  // namespace varnix_repo
