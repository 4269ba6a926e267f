#pragma once
// What this run installed, so that it can be undone together, newest first.

#include <vector>

#include "manifest/manifest.h"
#include "platform/text.h"

namespace varnix {

// Each package once, in the order of its first installation in this run.
using RollbackTransaction = std::vector<PackageEntry>;

// Appends a package installed just now, unless this run installed it before: its first backup
// holds the state from before the run, and that entry stays the one to roll back.
void recordInstalled(RollbackTransaction& transaction, const PackageEntry& entry);

void rollBackTransaction(const WideString& rootDir, const WideString& systemDir,
                         const RollbackTransaction& transaction);
// Deletes every package backup under rootDir\_rollback after a good start, except those that
// still hold their package's last whole state (a pending restore, an absent marker).
void removeRollbackData(const WideString& rootDir, const WideString& systemDir);

}  // namespace varnix
