#pragma once
// The one path-joining rule: both separators count, the launcher only ever inserts "\".

#include "platform/text.h"

namespace varnix {

bool isPathSeparator(wchar_t c);
WideString joinPath(const WideString& a, const WideString& b);
// Everything before the last "\" or "/"; empty when there is none.
WideString parentPath(const WideString& path);

}  // namespace varnix
