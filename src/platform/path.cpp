#include "platform/path.h"

namespace varnix {

namespace {

wchar_t foldedForComparison(wchar_t c) {
    if (c == L'/') return L'\\';
    if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - L'a' + L'A');
    return c;
}

WideString comparablePath(const WideString& path) {
    WideString folded;
    folded.reserve(path.size());
    for (const wchar_t c : path)
        folded.push_back(foldedForComparison(c));
    while (!folded.empty() && folded.back() == L'\\')
        folded.pop_back();
    return folded;
}

}  // namespace

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

namespace varnix {

bool isSameOrInsidePath(const WideString& path, const WideString& base) {
    const WideString folded = comparablePath(path);
    const WideString prefix = comparablePath(base);
    if (prefix.empty() || folded.compare(0, prefix.size(), prefix) != 0) return false;
    return folded.size() == prefix.size() || folded[prefix.size()] == L'\\';
}

}  // namespace varnix
