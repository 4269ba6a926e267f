#pragma once
// File versions of launcher executables, as their version resource holds them. No Windows header:
// the reading of the resource bytes is tested on every platform.

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/text.h"

namespace varnix {

// The four 16-bit parts a.b.c.d, a in the top bits: versions compare as numbers.
using FileVersion = uint64_t;

// The file version of a VS_VERSIONINFO resource's fixed part; nothing when the bytes are no such
// resource (wrong key, signature or size).
std::optional<FileVersion> fixedFileVersion(std::string_view resource);

// "a.b.c.d" in decimal.
ByteString versionText(FileVersion version);
// The inverse of versionText, trailing line breaks allowed; nothing for any other text.
std::optional<FileVersion> parseVersionText(std::string_view text);

}  // namespace varnix
