#include <algorithm>
#include <numeric>

#include "manifest/manifest.h"
#include "varnix/value_rules.h"

namespace varnix {

namespace {

constexpr char kPackagePrefix[] = "package|";
constexpr size_t kPackagePrefixLength = sizeof kPackagePrefix - 1;
constexpr size_t kPackageFieldCount = 6;

bool parsePackageLine(const ByteString& line, PackageEntry& entry) {
    if (line.compare(0, kPackagePrefixLength, kPackagePrefix) != 0) return false;
    const std::vector<ByteString> fields = splitString(line, '|');
    if (fields.size() < kPackageFieldCount) return false;
    entry.name = fields[1];
    entry.archive = fields[2];
    entry.sha256 = toLowerAscii(fields[3]);
    entry.required = fields[4] == "1";
    entry.files = splitString(fields[5], ';');
    if (!isSafeComponent(entry.name) || !isSafeComponent(entry.archive) || entry.sha256.empty())
        return false;
    for (const ByteString& item : entry.files) {
        if (!item.empty() && !isSafeListedItem(item)) return false;
    }
    return true;
}

}  // namespace

Manifest parseManifest(const ByteString& text, size_t* skippedPackageLines) {
    Manifest manifest;
    size_t skipped = 0;
    for (const ByteString& rawLine : splitString(text, '\n')) {
        const ByteString line = trimWhitespace(rawLine);
        if (line.empty() || line[0] == '#') continue;
        PackageEntry entry;
        if (parsePackageLine(line, entry)) {
            manifest.push_back(std::move(entry));
        } else if (line.compare(0, kPackagePrefixLength, kPackagePrefix) == 0) {
            ++skipped;
        }
    }
    if (skippedPackageLines) *skippedPackageLines = skipped;
    return manifest;
}

size_t dropDuplicateListedFiles(PackageEntry& entry, FileNameOrder order) {
    std::vector<size_t> byName(entry.files.size());
    std::iota(byName.begin(), byName.end(), size_t{0});
    // Stable: among items that name one file, the first listed stays first.
    std::stable_sort(byName.begin(), byName.end(),
                     [&](size_t a, size_t b) { return order(entry.files[a], entry.files[b]) < 0; });
    std::vector<bool> duplicate(entry.files.size(), false);
    for (size_t i = 1; i < byName.size(); ++i) {
        const ByteString& item = entry.files[byName[i]];
        // Empty items name no file: they are left for the store to pass over.
        if (!item.empty() && order(entry.files[byName[i - 1]], item) == 0)
            duplicate[byName[i]] = true;
    }
    std::vector<ByteString> kept;
    for (size_t i = 0; i < entry.files.size(); ++i) {
        if (!duplicate[i]) kept.push_back(std::move(entry.files[i]));
    }
    const size_t dropped = entry.files.size() - kept.size();
    entry.files = std::move(kept);
    return dropped;
}

}  // namespace varnix
