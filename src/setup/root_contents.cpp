#include "setup/root_contents.h"

#include "launch/launch_paths.h"
#include "packages/store.h"
#include "platform/path.h"
#include "varnix/contract.h"

namespace varnix::setup {

namespace {

WideString launcherPath(const WideString& rootDir) {
    return joinPath(rootDir, contract::kLauncherFileName);
}

}  // namespace

std::vector<WideString> ownedRootPaths(const WideString& rootDir) {
    return {launcherPath(rootDir) + kPromotionSuffix,
            systemDirectory(rootDir),
            logDirectory(rootDir),
            downloadDirectory(rootDir),
            rollbackRoot(rootDir),
            launcherPath(rootDir)};
}

std::vector<WideString> rootMarkPaths(const WideString& rootDir) {
    return {launcherPath(rootDir), packageStateDirectory(systemDirectory(rootDir))};
}

std::vector<WideString> rootProgramPaths(const WideString& rootDir) {
    return {launcherPath(rootDir), launcherPath(rootDir) + kPromotionSuffix,
            applicationPath(systemDirectory(rootDir))};
}

}  // namespace varnix::setup
