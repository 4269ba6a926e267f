#pragma once
// Per-package backup of the listed files and the marker, in rootDir\_rollback\{name}.

#include "packages/store.h"
#include "platform/text.h"

namespace varnix {

// False (backup directory removed, errorText set) when any listed file cannot be saved. A
// complete backup already in place is kept instead when it still holds the state to return to
// (the rule stands beside keepsExistingBackup in backup.cpp).
[[nodiscard]] bool backupPackage(const PackagePaths& paths, WideString& errorText);
// Puts the listed files and the marker back and removes the backup; a listed file without a copy
// goes only when the backup found it missing. Every failure is logged and the other files are
// still put back; then the restore is left pending (the rule stands beside keepsExistingBackup
// in backup.cpp): the marker stays absent and the whole backup stays. False in that case only.
bool restorePackage(const PackagePaths& paths);
// Tries again each restore that an earlier run left pending; called before any installation.
void finishPendingRestores(const WideString& rootDir, const WideString& systemDir);
// Every backup under rootDir\_rollback, each made incomplete before its files go, except those
// that still hold their package's last whole state: a restore of it is pending, or its marker is
// absent.
void discardAllBackups(const WideString& rootDir, const WideString& systemDir);

}  // namespace varnix
