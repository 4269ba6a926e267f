#pragma once

#include <cstdint>

#include "platform/handle.h"
#include "platform/text.h"

namespace varnix {

enum class ProcessEnd { Exited, NotStarted, TimedOut };

// Starts an application by its full path with a command line, without a window, and waits for
// it at most deadlineMilliseconds; past that, it and every process it started are ended.
ProcessEnd runProcess(const WideString& applicationPath, const WideString& commandLine,
                      const WideString& currentDirectory, unsigned deadlineMilliseconds,
                      uint32_t& exitCode, WideString& errorText);
// Windows PowerShell at its place in the system directory, never found by a search.
WideString powerShellPath();
// Windows PowerShell's Expand-Archive, judged by its exit code alone.
bool extractArchive(const WideString& archivePath, const WideString& destinationDir,
                    WideString& errorText);
// The archive opened for reading while every other handle is denied writing, renaming and
// deleting it: what is hashed is what PowerShell extracts, as long as this is held.
FileHandle holdArchive(const WideString& archivePath);

}  // namespace varnix
