#pragma once
// ZIP archives as the launcher's extraction will see them, read and written with libzip.

#include <string>
#include <vector>

#include "repo_crypto.h"

namespace varnix_repo {

struct ArchiveListing {
    bool readable = false;
    std::string error;
    std::vector<std::string> files;     // file entries, in archive order, as stored
    std::vector<std::string> entries;   // every entry, directories included, in archive order
    std::vector<std::string> escaping;  // entries that would land outside the destination
    // Non-ASCII names stored without the ZIP UTF-8 flag: Windows decodes them in its code page
    // and extracts the files under other names.
    std::vector<std::string> unflagged;
};

ArchiveListing listArchive(const std::string& path);
// True when an entry name is absolute, carries a drive letter or climbs with "..".
bool entryEscapes(const std::string& name);
// Compares a manifest file item with an archive entry as Windows would: "\" = "/", any case.
bool sameRelativePath(const std::string& a, const std::string& b);

// Packs every file below `directory` into `zipPath`: names relative, "/"-separated, sorted,
// flagged UTF-8; fixed time stamps, attributes and compression level, so the same folder
// always gives the same bytes. `progress` hears of folders of kProgressFromBytes and more.
// Returns an error text, empty on success.
std::string packDirectory(const std::string& directory, const std::string& zipPath,
                          const Progress& progress = {});

}  // namespace varnix_repo
