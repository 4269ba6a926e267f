#pragma once
// Characters that must never reach a dialog or a log line from an application's request: C0, DEL
// and C1, the line and paragraph separators, and the bidirectional embeddings, overrides and
// isolates, which can forge a log line or reorder what a dialog shows. The launcher shows each as
// "?"; an application that writes one would not be read as it wrote.
//
// Header-only, C++17, standard library only.

#include <cstddef>
#include <string_view>

namespace varnix {

// The length in bytes of the control character (UTF-8) that starts at `at`, or 0.
constexpr std::size_t controlCharacterLength(std::string_view text, std::size_t at) noexcept {
    const auto byte = [&](std::size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
    };
    const unsigned first = byte(at);
    if (first < 0x20 || first == 0x7f) return 1;
    if (first == 0xc2 && byte(at + 1) >= 0x80 && byte(at + 1) <= 0x9f) return 2;
    if (first == 0xe2 && byte(at + 1) == 0x80 && byte(at + 2) >= 0xa8 && byte(at + 2) <= 0xae) {
        return 3;  // U+2028 to U+202E
    }
    if (first == 0xe2 && byte(at + 1) == 0x81 && byte(at + 2) >= 0xa6 && byte(at + 2) <= 0xa9) {
        return 3;  // U+2066 to U+2069
    }
    return 0;
}

constexpr bool containsControlCharacter(std::string_view text) noexcept {
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (controlCharacterLength(text, at) != 0) return true;
    }
    return false;
}

}  // namespace varnix
