#include "packages/rollback.h"

#include "packages/backup.h"
#include "packages/store.h"
#include "platform/fs.h"
#include "platform/log.h"

namespace varnix {

void rollBackTransaction(const WideString& rootDir, const WideString& systemDir,
                         const RollbackTransaction& transaction) {
    logWrite(L"Rollback transaction started. Package count: " + decimal(transaction.size()));
    for (auto entry = transaction.rbegin(); entry != transaction.rend(); ++entry) {
        restorePackage(packagePaths(rootDir, systemDir, *entry));
    }
    logWrite(L"Rollback transaction completed.");
}

void recordInstalled(RollbackTransaction& transaction, const PackageEntry& entry) {
    for (const PackageEntry& recorded : transaction) {
        if (recorded.name == entry.name) return;
    }
    transaction.push_back(entry);
}

void removeRollbackData(const WideString& rootDir, const WideString& systemDir) {
    if (!isExistingDirectory(rollbackRoot(rootDir))) return;
    discardAllBackups(rootDir, systemDir);
    logWrite(L"Rollback data removed.");
}

}  // namespace varnix
