#pragma once
// Which package names are acceptable: one rule for the manifest, the launcher and applications.
//
//   bool varnix::isValidPackageName(std::string_view name) noexcept
//
// A package name becomes a file name (the package store's marker files) on Windows, so a valid
// name is one Windows file-name segment that means the same on every volume. It is refused when:
//   - it is empty, "." or "..";
//   - it holds a path separator ("/" or "\"), ":", one of < > " | ? *, or a control byte
//     (0x00-0x1F, 0x7F);
//   - it ends with "." or a blank (Windows drops those, so two names would meet in one file);
//   - it is a DOS device name, CON PRN AUX NUL COM1-COM9 LPT1-LPT9, in any letter case, alone or
//     followed by an extension ("nul.txt", "Com1.tar.gz").
// Everything else passes, non-ASCII UTF-8 included: the bytes are compared, never decoded.
//
// Header-only, C++17, standard library only: the launcher, its tools and applications include it.

#include <string_view>

namespace varnix {
namespace package_names_detail {

constexpr char lowerAscii(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

constexpr bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    }
    return true;
}

constexpr bool isRefusedByte(char c) noexcept {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
    return std::string_view("/\\:<>\"|?*").find(c) != std::string_view::npos;
}

// Windows maps these to devices whatever the extension, and drops blanks before the extension.
constexpr bool isDeviceName(std::string_view name) noexcept {
    std::string_view stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.remove_suffix(1);
    for (std::string_view device : {"con", "prn", "aux", "nul"}) {
        if (equalsIgnoringAsciiCase(stem, device)) return true;
    }
    if (stem.size() != 4 || stem[3] < '1' || stem[3] > '9') return false;
    return equalsIgnoringAsciiCase(stem.substr(0, 3), "com") ||
           equalsIgnoringAsciiCase(stem.substr(0, 3), "lpt");
}

}  // namespace package_names_detail

constexpr bool isValidPackageName(std::string_view name) noexcept {
    using namespace package_names_detail;
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name) {
        if (isRefusedByte(c)) return false;
    }
    if (name.back() == '.' || name.back() == ' ') return false;
    return !isDeviceName(name);
}

}  // namespace varnix
