#include "platform/text.h"
#include "varnix/control_characters.h"

namespace varnix {

ByteString withoutControlCharacters(const ByteString& text) {
    ByteString result;
    for (size_t at = 0; at < text.size();) {
        const size_t length = controlCharacterLength(text, at);
        result += length ? '?' : text[at];
        at += length ? length : 1;
    }
    return result;
}

std::vector<ByteString> splitString(const ByteString& text, char delimiter) {
    std::vector<ByteString> items;
    ByteString current;
    for (char c : text) {
        if (c == delimiter) {
            items.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    items.push_back(current);
    return items;
}

ByteString trimWhitespace(const ByteString& bytes) {
    ByteString result = bytes;
    while (!result.empty()) {
        const char last = result.back();
        if (last != '\r' && last != '\n' && last != ' ' && last != '\t') break;
        result.pop_back();
    }
    size_t leading = 0;
    while (leading < result.size() && (result[leading] == ' ' || result[leading] == '\t')) {
        ++leading;
    }
    return result.substr(leading);
}

ByteString toLowerAscii(const ByteString& bytes) {
    ByteString result = bytes;
    for (char& c : result) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return result;
}

ByteString toLowerHex(const ByteString& bytes) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    ByteString text;
    text.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 0x0f];
    }
    return text;
}

WideString decimal(unsigned long long value) {
    return std::to_wstring(value);
}

}  // namespace varnix
