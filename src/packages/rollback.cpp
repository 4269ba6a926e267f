#include "packages/rollback.h"

#include "platform/fs.h"
#include "platform/log.h"
#include "platform/path.h"

namespace varnix {

void removeRollbackData(const WideString& rootDir) {
    const WideString path = joinPath(rootDir, L"_rollback");
    if (!isExistingDirectory(path)) return;
    deleteDirectoryTree(path);
    logWrite(L"Rollback data removed.");
}

}  // namespace varnix
