#pragma once

#include <vector>

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

// Local\VarnixLauncher- + the hex SHA-256 of the upper-cased root path (UTF-8): the only name
// of launchers before the root's identity, so one spelling of a root still excludes them.
WideString spellingMutexName(const WideString& rootDir);
// Local\VarnixLauncher- + the hex of the root directory's identity (volume serial, file ID),
// then the spelling's name; the spelling's name alone when the identity is unknown. Taken in
// this order.
std::vector<WideString> launcherMutexNames(const WideString& rootDir);

// The whole life of one launcher process; returns the process exit code (0 or 1).
int runLauncher();

}  // namespace varnix
