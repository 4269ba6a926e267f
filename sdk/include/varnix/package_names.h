#pragma once
// Which package names are acceptable: one rule for the manifest, the launcher and applications.
//
//   bool varnix::isValidPackageName(std::string_view name) noexcept
//
// A package name becomes a file name (the package store's marker files) on Windows, so a valid
// name is one Windows file-name segment that means the same on every volume. It is refused when:
//   - it is empty, "." or "..", or not valid UTF-8;
//   - it holds a path separator ("/" or "\"), ":", one of < > " | ? *, or a control byte
//     (0x00-0x1F, 0x7F);
//   - it ends with "." or a blank (Windows drops those, so two names would meet in one file);
//   - it is a DOS device name, CON PRN AUX NUL COM1-COM9 LPT1-LPT9 (also CONIN$, CONOUT$ and COM
//     or LPT with a superscript digit), in any letter case, alone or followed by an extension
//     ("nul.txt", "Com1.tar.gz").
// The launcher's manifest parser skips a line whose name breaks these rules (varnix/value_rules.h
// holds them); the release tool refuses to sign such a line.
//
// Header-only, C++17, standard library only: the launcher, its tools and applications include it.

#include <string_view>

#include "varnix/value_rules.h"

namespace varnix {

constexpr bool isValidPackageName(std::string_view name) noexcept {
    return componentProblem(name).empty();
}

}  // namespace varnix
