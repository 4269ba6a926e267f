#include <windows.h>

#include <climits>

#include "platform/text_conversion.h"

namespace varnix {

namespace {

WideString decode(UINT codePage, const ByteString& bytes) {
    if (bytes.empty() || bytes.size() > INT_MAX) return {};
    const int size = static_cast<int>(bytes.size());
    const int length = MultiByteToWideChar(codePage, 0, bytes.data(), size, nullptr, 0);
    if (length <= 0) return {};
    WideString text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, bytes.data(), size, text.data(), length);
    return text;
}

}  // namespace

WideString utf8ToWide(const ByteString& bytes) {
    return decode(CP_UTF8, bytes);
}

WideString ansiToWide(const ByteString& bytes) {
    return decode(CP_ACP, bytes);
}

ByteString wideToUtf8(const WideString& text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    const int size = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return {};
    ByteString bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, bytes.data(), length, nullptr, nullptr);
    return bytes;
}

WideString toUpperCase(WideString text) {
    CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

namespace {

WideString withBackslashes(const ByteString& path) {
    WideString wide = utf8ToWide(path);
    for (wchar_t& c : wide) {
        if (c == L'/') c = L'\\';
    }
    return wide;
}

}  // namespace

int compareFileNames(const ByteString& first, const ByteString& second) {
    const WideString a = withBackslashes(first);
    const WideString b = withBackslashes(second);
    const int result = CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                            static_cast<int>(b.size()), TRUE);
    return result - CSTR_EQUAL;
}

}  // namespace varnix
