#pragma once
// Per-package backup of the listed files and the marker, in rootDir\_rollback\{name}.

#include "packages/store.h"
#include "platform/text.h"

namespace varnix {

// False (backup directory removed, errorText set) when any listed file cannot be saved. A
// complete backup already in place is kept instead when it still holds the state to return to
// (the rule stands beside keepsExistingBackup in backup.cpp).
[[nodiscard]] bool backupPackage(const PackagePaths& paths, WideString& errorText);
// Best effort: every failure is logged and skipped. Removes the backup afterwards.
bool restorePackage(const PackagePaths& paths);
// Every backup under rootDir\_rollback, each made incomplete before its files go.
void discardAllBackups(const WideString& rollbackDir);

}  // namespace varnix
