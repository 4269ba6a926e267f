#pragma once
// Building the PowerShell command line that extracts an archive. Portable.

#include "platform/text.h"

namespace varnix {

// 'text' with each of PowerShell's five single-quote characters doubled.
WideString quotePowerShellLiteral(const WideString& text);
WideString expandArchiveCommandLine(const WideString& archivePath, const WideString& destination);

}  // namespace varnix
