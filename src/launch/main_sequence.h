#pragma once

#include "manifest/load_manifest.h"
#include "manifest/manifest.h"
#include "packages/rollback.h"
#include "platform/text.h"

namespace varnix {

// What one run of the launcher has learnt and done so far; recovery works on it too.
struct RunState {
    WideString rootDir;
    WideString systemDir;
    Manifest manifest;
    SignedManifest verified;  // empty on the offline road
    RollbackTransaction transaction;
    WideString errorText;
    bool applicationStarted = false;  // some start of Varnix.exe in this run succeeded
};

// Local\VarnixLauncher- + the hex SHA-256 of the upper-cased root path (UTF-8).
WideString launcherMutexName(const WideString& rootDir);

// The whole life of one launcher process; returns the process exit code (0 or 1).
int runLauncher();

}  // namespace varnix
