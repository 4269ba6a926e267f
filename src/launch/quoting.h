#pragma once

#include "platform/text.h"

namespace varnix {

// Wraps one argument in double quotes so that CommandLineToArgvW and the C runtime give back
// exactly `s`: backslashes before a quote (or before the closing quote) are doubled and inner
// quotes escaped. Text without quotes and without trailing backslashes is only wrapped.
WideString quoteArgument(const WideString& s);

}  // namespace varnix
