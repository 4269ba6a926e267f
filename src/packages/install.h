#pragma once

#include "manifest/manifest.h"
#include "platform/text.h"

namespace varnix {

// Tells the user which package is being downloaded; the launcher passes its information dialog.
using DownloadAnnouncement = void (*)(const WideString& mainInstruction, const WideString& content);

// Download, hash check, backup, extraction into the system directory, marker - in that order.
[[nodiscard]] bool installPackage(const WideString& rootDir, const WideString& systemDir,
                                  const PackageEntry& entry, WideString& errorText,
                                  DownloadAnnouncement announce);

}  // namespace varnix
