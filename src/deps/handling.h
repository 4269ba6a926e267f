#pragma once
// Serving the application's dependency request: ask once, install, start again.

#include <cstdint>

#include "deps/request.h"
#include "manifest/manifest.h"
#include "packages/rollback.h"
#include "platform/launch_outcome.h"
#include "platform/text.h"

namespace varnix {

// How the application is started; the launch-control layer hands in its own.
using LaunchFunction = LaunchResult (*)(const WideString& rootDir, const WideString& systemDir);

bool parseDependencyRequest(const WideString& systemDir, DependencyRequest& request);
// Removes a request file that an earlier run of the application left behind.
void deleteStaleDependencyRequest(const WideString& systemDir);
WideString buildDependencyPrompt(const DependencyRequest& request);

// True when the application runs after the requested packages were installed.
bool handleDependencyRequest(const WideString& rootDir, const WideString& systemDir,
                             const Manifest& manifest, RollbackTransaction& transaction,
                             WideString& errorText, LaunchFunction launch);

}  // namespace varnix
