#pragma once

#include "manifest/manifest.h"
#include "packages/install.h"
#include "packages/rollback.h"
#include "platform/text.h"

namespace varnix {

// Installs every required package that is missing or outdated, all or nothing: on a failure
// the packages installed before it are rolled back and the transaction is emptied.
bool installRequiredPackages(const WideString& rootDir, const WideString& systemDir,
                             const Manifest& manifest, RollbackTransaction& transaction,
                             WideString& errorText, DownloadAnnouncement announce);

}  // namespace varnix
