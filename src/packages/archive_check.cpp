#include "packages/archive_check.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <set>

#include "packages/crc32.h"
#include "packages/zip_directory.h"
#include "platform/log.h"
#include "platform/path.h"
#include "platform/text_conversion.h"
#include "varnix/value_rules.h"

namespace varnix {
namespace {

// Entry names in log lines and dialogs stop here: a name may be far longer than any path.
constexpr size_t kShownNameLength = 260;
constexpr DWORD kReadChunk = 1 << 20;

// The held archive, read at offsets without moving anyone's idea of its position.
class HeldFileSource : public ByteSource {
  public:
    explicit HeldFileSource(HANDLE file) : file_(file) {
        LARGE_INTEGER size{};
        size_ = GetFileSizeEx(file, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
    }
    uint64_t size() const override { return size_; }
    bool readAt(uint64_t offset, size_t length, char* buffer) const override {
        while (length > 0) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(offset);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            const DWORD wanted = static_cast<DWORD>(std::min<size_t>(length, kReadChunk));
            DWORD read = 0;
            if (!ReadFile(file_, buffer, wanted, &read, &at) || read == 0) return false;
            offset += read;
            buffer += read;
            length -= read;
        }
        return true;
    }

  private:
    HANDLE file_;
    uint64_t size_ = 0;
};

// The name as .NET gives it to Expand-Archive: UTF-8 with the flag, else the ANSI code page.
WideString decodedName(const ZipEntry& entry) {
    return entry.nameIsUtf8 ? utf8ToWide(entry.rawName) : ansiToWide(entry.rawName);
}

WideString fileSystemKey(WideString name) {
    std::replace(name.begin(), name.end(), L'/', L'\\');
    return toUpperCase(std::move(name));
}

WideString shownName(const WideString& decoded) {
    WideString shown = utf8ToWide(withoutControlCharacters(wideToUtf8(decoded)));
    if (shown.size() > kShownNameLength) {
        const bool splitsPair =
            shown[kShownNameLength - 1] >= 0xD800 && shown[kShownNameLength - 1] <= 0xDBFF;
        shown.resize(kShownNameLength - (splitsPair ? 1 : 0));
    }
    return shown;
}

bool isDirectoryEntry(const WideString& name) {
    return !name.empty() && (name.back() == L'/' || name.back() == L'\\');
}

struct FileSummary {
    uint64_t size = 0;
    uint32_t crc32 = 0;
};

// The file is read through a mapping, a window at a time: the pages come straight from the
// cache the extraction has just filled, with no copy into a buffer of ours, and the working set
// grows by one window at most. Nothing when it cannot be opened or read.
constexpr uint64_t kMappedWindow = 16ull << 20;  // a multiple of the allocation granularity

std::optional<FileSummary> summarizeFile(const WideString& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size)) return std::nullopt;
    FileSummary summary;
    summary.size = static_cast<uint64_t>(size.QuadPart);
    if (summary.size == 0) return summary;  // an empty file cannot be mapped
    const KernelHandle mapping(
        CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) return std::nullopt;
    for (uint64_t offset = 0; offset < summary.size; offset += kMappedWindow) {
        const size_t length = static_cast<size_t>(std::min(kMappedWindow, summary.size - offset));
        const MappedView view(MapViewOfFile(mapping.get(), FILE_MAP_READ,
                                            static_cast<DWORD>(offset >> 32),
                                            static_cast<DWORD>(offset), length));
        if (!view) return std::nullopt;
        summary.crc32 = updateCrc32(summary.crc32, static_cast<const char*>(view.get()), length);
    }
    return summary;
}

bool refuse(const WideString& logLine, const WideString& text, WideString& errorText) {
    logWrite(logLine);
    errorText = text;
    return false;
}

}  // namespace

bool readPackageArchive(const FileHandle& heldArchive, const PackagePaths& paths,
                        const ByteString& packageName, ArchiveDirectory& directory,
                        WideString& errorText) {
    const HeldFileSource source(heldArchive.get());
    std::vector<ZipEntry> entries;
    if (ZipProblem problem = readZipDirectory(source, entries); problem != ZipProblem::None) {
        const WideString reason = zipProblemText(problem);
        return refuse(L"Package archive cannot be read: " + paths.name + L" / " + reason,
                      L"Архив пакета повреждён: " + reason, errorText);
    }
    directory.files.clear();
    for (const ZipEntry& entry : entries) {
        const WideString name = decodedName(entry);
        if (!archiveEntryProblem(wideToUtf8(name), packageName).empty()) {
            const WideString shown = shownName(name);
            return refuse(
                L"Package archive holds a forbidden entry: " + paths.name + L" / " + shown,
                L"Архив пакета содержит недопустимый файл: " + shown, errorText);
        }
        if (isDirectoryEntry(name)) continue;
        // The extraction writes the entries in order: of two with one name, the last one stays.
        directory.files[fileSystemKey(name)] = {entry.crc32, entry.size, name};
    }
    return true;
}

bool refuseMismatch(const PackagePaths& paths, const WideString& item, WideString& errorText) {
    return refuse(L"Extracted file does not match the archive: " + paths.name + L" / " + item,
                  L"Файл пакета не совпал с архивом после распаковки: " + item, errorText);
}

bool extractedFilesMatchArchive(const ArchiveDirectory& directory, const PackagePaths& paths,
                                WideString& errorText) {
    std::set<WideString> compared;
    for (const ListedItem& item : paths.listed) {
        const WideString key = fileSystemKey(item.relativePath);
        const auto found = directory.files.find(key);
        if (found == directory.files.end()) continue;
        compared.insert(key);
        const std::optional<FileSummary> summary = summarizeFile(paths.inSystem(item));
        if (summary && summary->size == found->second.size &&
            summary->crc32 == found->second.crc32) {
            continue;
        }
        return refuseMismatch(paths, utf8ToWide(item.spelled), errorText);
    }
    for (const auto& [key, file] : directory.files) {
        if (compared.count(key) != 0) continue;
        WIN32_FILE_ATTRIBUTE_DATA data{};
        WideString relative = file.name;
        std::replace(relative.begin(), relative.end(), L'/', L'\\');
        const WideString path = joinPath(paths.systemDir, relative);
        const bool sameSize =
            GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
            (static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow) == file.size;
        if (!sameSize) return refuseMismatch(paths, shownName(file.name), errorText);
    }
    return true;
}

}  // namespace varnix
