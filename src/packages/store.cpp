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

WideString packageMarkerPath(const WideString& systemDir, const WideString& name) {
    return joinPath(packageStateDirectory(systemDir), name + L".sha256");
}

WideString rollbackMarkerPath(const WideString& packageRollbackDir) {
    return joinPath(packageRollbackDir, asciiText(kSavedMarkerName));
}

namespace {

ListedItem listedItem(const ByteString& item) {
    assert(isSafeListedItem(item) && "the manifest parser refuses such items");
    WideString relative = utf8ToWide(item);
    std::replace(relative.begin(), relative.end(), L'/', L'\\');
    return {item, relative};
}

}  // namespace

WideString PackagePaths::inSystem(const ListedItem& item) const {
    return joinPath(systemDir, item.relativePath);
}

WideString PackagePaths::inBackup(const ListedItem& item) const {
    return joinPath(rollbackDir, item.relativePath);
}

PackagePaths packagePaths(const WideString& rootDir, const WideString& systemDir,
                          const PackageEntry& entry) {
    PackagePaths paths;
    paths.name = pathComponent(entry.name);
    paths.systemDir = systemDir;
    const WideString archive = pathComponent(entry.archive);
    paths.archivePath = joinPath(downloadDirectory(rootDir), archive);
    paths.url = repositoryUrl() + L"/packages/" + archive;
    paths.marker = packageMarkerPath(systemDir, paths.name);
    paths.rollbackDir = joinPath(rollbackRoot(rootDir), paths.name);
    for (const ByteString& item : entry.files) {
        if (!item.empty()) paths.listed.push_back(listedItem(item));
    }
    return paths;
}

bool packageFilesPresent(const PackagePaths& paths) {
    for (const ListedItem& item : paths.listed) {
        if (!isExistingFile(paths.inSystem(item))) return false;
    }
    return true;
}

bool isPackageInstalled(const PackagePaths& paths, const ByteString& sha256) {
    if (!packageFilesPresent(paths)) return false;
    const ByteString marker = toLowerAscii(trimWhitespace(readWholeFile(paths.marker)));
    return marker == sha256;
}

}  // namespace varnix
