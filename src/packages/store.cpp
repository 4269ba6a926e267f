#include "packages/store.h"

#include <algorithm>

#include "manifest/load_manifest.h"
#include "platform/fs.h"
#include "platform/path.h"

namespace varnix {

WideString packageStateDirectory(const WideString& systemDir) {
    return joinPath(systemDir, L".packages");
}

WideString packageMarkerPath(const WideString& systemDir, const PackageEntry& entry) {
    return joinPath(packageStateDirectory(systemDir), utf8ToWide(entry.name) + L".sha256");
}

WideString packageRollbackDir(const WideString& rootDir, const PackageEntry& entry) {
    return joinPath(joinPath(rootDir, L"_rollback"), utf8ToWide(entry.name));
}

WideString rollbackMarkerPath(const WideString& packageRollbackDir) {
    return joinPath(packageRollbackDir, L".package_marker.sha256");
}

WideString packageUrl(const PackageEntry& entry) {
    return repositoryUrl() + L"/packages/" + utf8ToWide(entry.archive);
}

WideString listedFilePath(const WideString& base, const ByteString& item) {
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
