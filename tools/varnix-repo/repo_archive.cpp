#include "repo_archive.h"

#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <system_error>

#include "varnix/value_rules.h"

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

namespace {

struct ArchiveDiscarder {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
using Archive = std::unique_ptr<zip_t, ArchiveDiscarder>;

// 1980-01-01 00:00:00, the first moment a DOS time stamp can hold.
constexpr zip_uint16_t kFixedDosTime = 0;
constexpr zip_uint16_t kFixedDosDate = (0 << 9) | (1 << 5) | 1;
// A plain file readable by everyone, whatever mode it had on the packing machine.
constexpr zip_uint32_t kFixedAttributes = 0100644u << 16;
constexpr zip_uint32_t kCompressionLevel = 9;

std::string zipError(zip_t* archive) {
    return zip_error_strerror(zip_get_error(archive));
}

void reportProgress(zip_t*, double fraction, void* context) {
    (*static_cast<const Progress*>(context))(fraction);
}

}  // namespace

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
        listing.entries.push_back(entry);
        if (entryEscapes(entry)) listing.escaping.push_back(entry);
        // The strict reading decodes an unflagged name as code page 437, as the ZIP format
        // says; only a name that is ASCII or flagged UTF-8 comes back unchanged.
        const char* strict = zip_get_name(archive, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_STRICT);
        if (strict != nullptr && entry != strict) listing.unflagged.push_back(entry);
        if (!entry.empty() && entry.back() != '/' && entry.back() != '\\') {
            listing.files.push_back(entry);
        }
    }
    zip_discard(archive);
    listing.readable = true;
    return listing;
}

std::string packDirectory(const std::string& directory, const std::string& zipPath,
                          const Progress& progress) {
    namespace fs = std::filesystem;
    std::error_code code;
    if (!fs::is_directory(directory, code)) return directory + " is not a directory";
    std::vector<std::pair<std::string, fs::path>> files;  // entry name, source
    uintmax_t totalBytes = 0;
    fs::recursive_directory_iterator walk(directory, code), end;
    for (; !code && walk != end; walk.increment(code)) {
        const fs::file_status status = walk->symlink_status(code);
        if (code) break;
        if (fs::is_directory(status)) continue;
        const std::string name = walk->path().lexically_relative(directory).generic_string();
        if (!fs::is_regular_file(status)) return walk->path().string() + " is not a plain file";
        if (std::string_view problem = varnix::listedItemProblem(name); !problem.empty())
            return "\"" + name + "\" cannot be a package file: it " + std::string(problem);
        files.emplace_back(name, walk->path());
        totalBytes += walk->file_size(code);
    }
    if (code) return "cannot read " + directory + ": " + code.message();
    if (files.empty()) return directory + " holds no file";
    std::sort(files.begin(), files.end());

    const std::string staging = zipPath + ".partial-" + std::to_string(::getpid());
    int errorCode = 0;
    Archive archive(zip_open(staging.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &errorCode));
    if (!archive) return "cannot create " + staging;
    for (const auto& [name, source] : files) {
        zip_source_t* data = zip_source_file(archive.get(), source.c_str(), 0, -1);
        const zip_int64_t index =
            data ? zip_file_add(archive.get(), name.c_str(), data, ZIP_FL_ENC_UTF_8) : -1;
        if (index < 0) {
            if (data) zip_source_free(data);
            return "cannot add " + source.string() + ": " + zipError(archive.get());
        }
        const auto entry = static_cast<zip_uint64_t>(index);
        if (zip_file_set_dostime(archive.get(), entry, kFixedDosTime, kFixedDosDate, 0) != 0 ||
            zip_file_set_external_attributes(archive.get(), entry, 0, ZIP_OPSYS_UNIX,
                                             kFixedAttributes) != 0 ||
            zip_set_file_compression(archive.get(), entry, ZIP_CM_DEFLATE, kCompressionLevel) !=
                0) {
            return "cannot set up " + name + ": " + zipError(archive.get());
        }
    }
    if (progress && totalBytes >= kProgressFromBytes) {
        zip_register_progress_callback_with_state(archive.get(), 0.01, reportProgress, nullptr,
                                                  const_cast<Progress*>(&progress));
    }
    if (zip_close(archive.get()) != 0) {
        const std::string error = "cannot write " + zipPath + ": " + zipError(archive.get());
        fs::remove(staging, code);
        return error;
    }
    archive.release();  // zip_close freed it
    if (progress && totalBytes >= kProgressFromBytes) progress(1.0);
    fs::rename(staging, zipPath, code);
    if (code) {
        fs::remove(staging, code);
        return "cannot move the archive to " + zipPath + ": " + code.message();
    }
    return {};
}

}  // namespace varnix_repo
