#include "launch/quoting.h"

namespace varnix {

WideString quoteArgument(const WideString& s) {
    WideString quoted = L"\"";
    size_t pendingBackslashes = 0;
    for (wchar_t c : s) {
        if (c == L'\\') {
            ++pendingBackslashes;
            continue;
        }
        if (c == L'"') {
            quoted.append(pendingBackslashes * 2 + 1, L'\\');
        } else {
            quoted.append(pendingBackslashes, L'\\');
        }
        pendingBackslashes = 0;
        quoted += c;
    }
    // Backslashes before the closing quote would escape it: double them.
    quoted.append(pendingBackslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

}  // namespace varnix
