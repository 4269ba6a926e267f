#pragma once
// Characters that must never reach a dialog or a log line, nor be part of a name: C0, DEL and C1,
// the line and paragraph separators, the bidirectional marks, embeddings, overrides and isolates
// (U+061C, U+200E-200F, U+202A-202E, U+2066-2069), which can forge a log line or reorder what a
// dialog shows, and the invisible U+200B-200D and U+FEFF, which make two names look alike. The
// launcher shows each as "?" in a request; the value rules refuse every name that holds one, so
// nothing can be published that could never be requested.
//
// Header-only, C++17, standard library only.

#include <cstddef>
#include <string_view>

namespace varnix {

namespace control_characters {

struct Range {
    char32_t first;
    char32_t last;
};

// The one list.
inline constexpr Range kRanges[] = {
    {0x0000, 0x001F}, {0x007F, 0x009F}, {0x061C, 0x061C}, {0x200B, 0x200F},
    {0x2028, 0x202E}, {0x2066, 0x2069}, {0xFEFF, 0xFEFF},
};

constexpr bool isControlCodePoint(char32_t c) noexcept {
    for (const Range& range : kRanges) {
        if (c >= range.first && c <= range.last) return true;
    }
    return false;
}

// The code point of the well-formed UTF-8 sequence at `at` and its length; length 0 when the
// bytes there are not one.
struct Decoded {
    char32_t codePoint;
    std::size_t length;
};

constexpr Decoded decodeUtf8(std::string_view text, std::size_t at) noexcept {
    const auto byte = [&](std::size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
    };
    const unsigned lead = byte(at);
    if (lead < 0x80) return {lead, 1};
    std::size_t length = 0;
    char32_t c = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        c = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        c = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        c = lead & 0x07u;
    } else {
        return {0, 0};
    }
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned next = byte(at + k);
        if ((next & 0xC0u) != 0x80u) return {0, 0};
        c = (c << 6) | (next & 0x3Fu);
    }
    const char32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (c < smallest || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return {0, 0};
    return {c, length};
}

}  // namespace control_characters

// The length in bytes of the control character (UTF-8) that starts at `at`, or 0.
constexpr std::size_t controlCharacterLength(std::string_view text, std::size_t at) noexcept {
    const control_characters::Decoded decoded = control_characters::decodeUtf8(text, at);
    if (decoded.length == 0) return 0;
    return control_characters::isControlCodePoint(decoded.codePoint) ? decoded.length : 0;
}

constexpr bool containsControlCharacter(std::string_view text) noexcept {
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (controlCharacterLength(text, at) != 0) return true;
    }
    return false;
}

}  // namespace varnix
