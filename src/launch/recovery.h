#pragma once
// What the launcher tries after the first start of Varnix.exe failed.

#include <cstdint>

#include "manifest/load_manifest.h"
#include "manifest/manifest.h"
#include "packages/rollback.h"
#include "platform/text.h"

namespace varnix {

struct RunState {
    WideString rootDir;
    WideString systemDir;
    Manifest manifest;
    SignedManifest verified;  // empty on the offline road
    RollbackTransaction transaction;
    WideString errorText;
    bool applicationStarted = false;  // some start of Varnix.exe in this run succeeded
};

// "graphics_compat" first, then "compatibility"; exact names. Null when neither is offered.
const PackageEntry* findCompatibilityPackage(const Manifest& manifest);

// The process exit code of each road (0 or 1).
int recoverFromEarlyExit(RunState& state, uint32_t firstExitCode);
int recoverFromStartFailure(RunState& state, uint32_t firstError);

}  // namespace varnix
