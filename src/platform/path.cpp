#include "platform/path.h"

namespace varnix {

bool isPathSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

WideString joinPath(const WideString& a, const WideString& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    if (isPathSeparator(a.back())) return a + b;
    return a + L'\\' + b;
}

WideString parentPath(const WideString& path) {
    const size_t separator = path.find_last_of(L"\\/");
    if (separator == WideString::npos) return {};
    return path.substr(0, separator);
}

}  // namespace varnix
