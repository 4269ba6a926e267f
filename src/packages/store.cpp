#include "packages/store.h"

#include <algorithm>
#include <cassert>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/site_config.h"
#include "platform/text_conversion.h"

namespace varnix {

WideString asciiText(std::string_view ascii) {
    return WideString(ascii.begin(), ascii.end());
}

WideString pathComponent(const ByteString& value) {
    assert(isSafeComponent(value) && "the manifest parser refuses such values");
    return utf8ToWide(value);
}

WideString packageStateDirectory(const WideString& systemDir) {
    return joinPath(systemDir, asciiText(kMarkerDirectoryName));
}

WideString downloadDirectory(const WideString& rootDir) {
    return joinPath(rootDir, L"_download");
}

WideString rollbackRoot(const WideString& rootDir) {
    return joinPath(rootDir, L"_rollback");
}

WideString packageMarkerPath(const WideString& systemDir, const PackageEntry& entry) {
    return joinPath(packageStateDirectory(systemDir), pathComponent(entry.name) + L".sha256");
}

WideString packageRollbackDir(const WideString& rootDir, const PackageEntry& entry) {
    return joinPath(rollbackRoot(rootDir), pathComponent(entry.name));
}

WideString rollbackMarkerPath(const WideString& packageRollbackDir) {
    return joinPath(packageRollbackDir, asciiText(kSavedMarkerName));
}

WideString packageUrl(const PackageEntry& entry) {
    return repositoryUrl() + L"/packages/" + utf8ToWide(entry.archive);
}

WideString listedFilePath(const WideString& base, const ByteString& item) {
    assert(isSafeListedItem(item) && "the manifest parser refuses such items");
    WideString relative = utf8ToWide(item);
    std::replace(relative.begin(), relative.end(), L'/', L'\\');
    return joinPath(base, relative);
}

bool packageFilesPresent(const WideString& systemDir, const PackageEntry& entry) {
    for (const ByteString& item : entry.files) {
        if (item.empty()) continue;
        if (!isExistingFile(listedFilePath(systemDir, item))) return false;
    }
    return true;
}

bool isPackageInstalled(const WideString& systemDir, const PackageEntry& entry) {
    if (!packageFilesPresent(systemDir, entry)) return false;
    const ByteString marker =
        toLowerAscii(trimWhitespace(readWholeFile(packageMarkerPath(systemDir, entry))));
    return marker == entry.sha256;
}

}  // namespace varnix
