#pragma once
// What the launcher tries after the first start of Varnix.exe failed.

#include "launch/main_sequence.h"
#include "manifest/manifest.h"
#include "platform/launch_outcome.h"

namespace varnix {

// The end of every road on which Varnix.exe started and stayed up: the line, the run's
// rollback data no longer needed, exit code 0.
int startedSuccessfully(RunState& state, const wchar_t* logLine);

// "graphics_compat" first, then "compatibility"; exact names. Null when neither is offered.
const PackageEntry* findCompatibilityPackage(const Manifest& manifest);

// Tries the remedies in order (the dependency request, the compatibility offer, rollback and a
// new start) and returns the process exit code of the first that decides the run; when none
// does, the failure dialog ends it with 1.
int recoverFromFailedStart(RunState& state, const LaunchResult& firstStart);

}  // namespace varnix
