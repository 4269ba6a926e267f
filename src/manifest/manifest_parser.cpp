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

}  // namespace varnix
