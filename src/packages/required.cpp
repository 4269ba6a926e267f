#include "packages/required.h"

#include "packages/install.h"
#include "packages/store.h"
#include "platform/fs.h"
#include "platform/log.h"

namespace varnix {

bool installRequiredPackages(const WideString& rootDir, const WideString& systemDir,
                             const Manifest& manifest, RollbackTransaction& transaction,
                             WideString& errorText, DownloadAnnouncement announce) {
    // A launcher ended after a package's marker but before its clean-up leaves the archive
    // behind; when nothing needs installing, no installation would ever remove it.
    deleteDirectoryTree(downloadDirectory(rootDir));
    for (const PackageEntry& entry : manifest) {
        if (!entry.required) continue;
        const PackagePaths paths = packagePaths(rootDir, systemDir, entry);
        const WideString& name = paths.name;
        logWrite(L"Checking required package: " + name);
        if (isPackageInstalled(paths, entry.sha256)) {
            logWrite(L"Package already installed: " + name);
            continue;
        }
        logWrite(L"Package needs install/update: " + name);
        if (installPackage(rootDir, systemDir, entry, errorText, announce)) {
            recordInstalled(transaction, entry);
            continue;
        }
        logWrite(L"Required package install failed: " + name);
        rollBackTransaction(rootDir, systemDir, transaction);
        transaction.clear();
        return false;
    }
    return true;
}

}  // namespace varnix
