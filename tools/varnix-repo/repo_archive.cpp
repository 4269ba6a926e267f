#include "repo_archive.h"

#include <zip.h>

#include <cctype>

namespace varnix_repo {

bool entryEscapes(const std::string& name) {
    if (name.empty()) return false;
    if (name[0] == '/' || name[0] == '\\') return true;
    if (name.size() >= 2 && name[1] == ':') return true;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0) return true;
        start = end + 1;
    }
    return false;
}

bool sameRelativePath(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i] == '\\' ? '/' : a[i];
        char y = b[i] == '\\' ? '/' : b[i];
        if (std::tolower(static_cast<unsigned char>(x)) !=
            std::tolower(static_cast<unsigned char>(y))) {
            return false;
        }
    }
    return true;
}

ArchiveListing listArchive(const std::string& path) {
    ArchiveListing listing;
    int errorCode = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &errorCode);
    if (archive == nullptr) {
        zip_error_t error;
        zip_error_init_with_code(&error, errorCode);
        listing.error = zip_error_strerror(&error);
        zip_error_fini(&error);
        return listing;
    }
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const char* name = zip_get_name(archive, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
        if (name == nullptr) continue;
        const std::string entry = name;
        if (entryEscapes(entry)) listing.escaping.push_back(entry);
        if (!entry.empty() && entry.back() != '/' && entry.back() != '\\') {
            listing.files.push_back(entry);
        }
    }
    zip_discard(archive);
    listing.readable = true;
    return listing;
}

}  // namespace varnix_repo
