#pragma once

#include "platform/text.h"

namespace varnix {

// Full path of the launcher executable; empty when unknown.
WideString moduleFilePath();
// Directory of the launcher executable, without a trailing separator; "." when unknown.
WideString moduleDirectory();
// The launcher's own arguments, each quoted, joined by single blanks; empty when none.
WideString forwardedArguments();

}  // namespace varnix
