#pragma once

#include <cstdint>

#include "platform/text.h"

namespace varnix {

// Starts a command line without a window and waits for it; true when it ran to its end.
bool runProcess(const WideString& commandLine, const WideString& currentDirectory,
                uint32_t& exitCode, WideString& errorText);
// Windows PowerShell's Expand-Archive, judged by its exit code alone.
bool extractArchive(const WideString& archivePath, const WideString& destinationDir,
                    WideString& errorText);

}  // namespace varnix
