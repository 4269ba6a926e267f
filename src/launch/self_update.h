#pragma once
// The launcher replacing itself. The manifest's "launcher" package installs the candidate into
// system\launcher; after a run that started Varnix.exe, a candidate of a higher version is copied
// beside the launcher as VarnixLauncher.exe.new and started in promote mode. Once the old
// launcher has ended, the new one renames itself over VarnixLauncher.exe in one step, so a kill at
// any moment leaves one runnable launcher under that name: the old one or the new one.

#include <cstdint>
#include <optional>

#include "launch/launcher_version.h"
#include "launch/promotion_rules.h"
#include "manifest/load_manifest.h"
#include "manifest/manifest.h"
#include "platform/text.h"

namespace varnix {

// Set by the old launcher for the new one: "PID:HANDLE", its process id and an inherited handle
// to it, in decimal (see PromotionRequest).
inline constexpr wchar_t kPromoteVariable[] = L"VARNIX_LAUNCHER_PROMOTE";

// The version resource of the running executable.
std::optional<FileVersion> ownFileVersion();
// The version resource of an executable on disk, read as an image resource: nothing of it runs
// and no DLL is loaded for it.
std::optional<FileVersion> fileVersionOf(const WideString& path);

// The old launcher's request when this process was started in promote mode. A variable that is
// set but holds no request is process id 0, which no promotion accepts. Only
// VarnixLauncher.exe.new is ever started in promote mode: any other executable clears a stray
// variable and runs normally.
std::optional<PromotionRequest> promotionRequest();
// The whole life of a process in promote mode: exit code 0 when VarnixLauncher.exe is now this
// executable, 1 when the old launcher stays, with a verdict saying why for the next start. Shows
// no dialog and starts nothing.
int runPromotion(const PromotionRequest& request);

// At every start: a VarnixLauncher.exe.new that no promotion runs from any more is a promotion
// that failed or was cut short. It is deleted. Its version is refused from then on when the new
// launcher found a fault of its own, or after the third attempt that failed for another reason.
void discardFailedPromotion(const WideString& rootDir, const WideString& systemDir);

// After Varnix.exe started: hands over to a higher installed candidate that was never refused,
// while this run's verified manifest still offers the launcher package, and only from
// root\VarnixLauncher.exe itself (a copy under another name would replace a file not its own). The
// new launcher must verify that same manifest with its own keys before it takes the name.
void offerLauncherUpdate(const WideString& rootDir, const WideString& systemDir,
                         const Manifest& manifest, const SignedManifest& verified);

}  // namespace varnix
