#pragma once
// Building the PowerShell command line that extracts an archive. Portable.

#include "platform/text.h"

namespace varnix {

// 'text' with each of PowerShell's five single-quote characters doubled.
WideString quotePowerShellLiteral(const WideString& text);
// 'text' with a backtick before each "[", "]" and "`", so that read as a wildcard pattern it
// matches only itself. Inside a single-quoted literal a backtick is an ordinary character, so
// only the readers of patterns (Test-Path -Path, Resolve-Path -Path) see the escapes.
WideString escapePowerShellWildcards(const WideString& text);
// Expand-Archive reads -DestinationPath as a pattern, so the destination goes in escaped; the
// archive goes to -LiteralPath, which is taken as written.
WideString expandArchiveCommandLine(const WideString& archivePath, const WideString& destination);

}  // namespace varnix
