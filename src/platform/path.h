#pragma once
// The one path-joining rule: both separators count, the launcher only ever inserts "\".

#include "platform/text.h"

namespace varnix {

bool isPathSeparator(wchar_t c);
WideString joinPath(const WideString& a, const WideString& b);
// Everything before the last "\" or "/"; empty when there is none.
WideString parentPath(const WideString& path);
// `path` is `base` or lies inside it, compared component by component: both separators count, a
// trailing one is ignored, and ASCII letters compare regardless of case (callers that need the
// whole of Unicode fold both paths first).
bool isSameOrInsidePath(const WideString& path, const WideString& base);

}  // namespace varnix
