#pragma once
// Text kinds: UTF-16 for paths, messages and dialogs; bytes (UTF-8) for files and the network.

#include <string>
#include <vector>

namespace varnix {

using WideString = std::wstring;
using ByteString = std::string;

// The conversions between the two kinds use Win32 and live in platform/text_conversion.h.

// Strips CR, LF, blank and tab from the end, but only blank and tab from the start.
ByteString trimWhitespace(const ByteString& bytes);
ByteString toLowerAscii(const ByteString& bytes);
// n delimiters give n + 1 items, empty ones included.
std::vector<ByteString> splitString(const ByteString& text, char delimiter);

// Two lower-case hex digits per byte, in order.
ByteString toLowerHex(const ByteString& bytes);

// Each control character (varnix/control_characters.h) shown as "?": for texts from outside
// that reach a dialog or a log line.
ByteString withoutControlCharacters(const ByteString& text);

// Unsigned decimal, as every number in the launcher's texts is written.
WideString decimal(unsigned long long value);

}  // namespace varnix
