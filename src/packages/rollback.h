#pragma once
// What this run installed, so that it can be undone together, newest first.

#include <vector>

#include "manifest/manifest.h"
#include "platform/text.h"

namespace varnix {

using RollbackTransaction = std::vector<PackageEntry>;

void rollBackTransaction(const WideString& rootDir, const WideString& systemDir,
                         const RollbackTransaction& transaction);
// Deletes every package backup under rootDir\_rollback after a good start.
void removeRollbackData(const WideString& rootDir);

}  // namespace varnix
