#pragma once
// The conventions every failure text follows on its way up to the dialog.

#include "platform/text.h"

namespace varnix {

// A failure that may mean a tampered update begins with this mark: the launcher then blocks the
// start instead of falling back to the installed application.
inline constexpr wchar_t kSecurityMark[] = L"SECURITY:";

inline WideString securityFailure(const WideString& text) {
    return kSecurityMark + (L" " + text);
}

inline bool isSecurityFailure(const WideString& text) {
    return text.rfind(kSecurityMark, 0) == 0;
}

// The downloads take their error text by pointer, as their callers in the application expect:
// null when the caller has no use for it. Everything else takes a reference.
inline void setError(WideString* errorText, const WideString& text) {
    if (errorText) *errorText = text;
}

}  // namespace varnix
