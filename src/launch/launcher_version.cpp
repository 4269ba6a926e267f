#include "launch/launcher_version.h"

#include <array>
#include <cstring>

namespace varnix {
namespace {

// VS_VERSIONINFO: three WORDs, the key L"VS_VERSION_INFO" with its terminator, padding to a DWORD
// boundary, then VS_FIXEDFILEINFO, whose first DWORDs are the signature, the structure version
// and the file version (most significant half first).
constexpr char16_t kVersionKey[] = u"VS_VERSION_INFO";
constexpr size_t kKeyOffset = 6;
constexpr size_t kFixedInfoOffset = 40;
constexpr size_t kFixedInfoBytes = 52;
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;

uint32_t littleEndian(std::string_view bytes, size_t offset, size_t width) {
    uint32_t value = 0;
    for (size_t i = width; i-- > 0;) {
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
    }
    return value;
}

}  // namespace

std::optional<FileVersion> fixedFileVersion(std::string_view resource) {
    if (resource.size() < kFixedInfoOffset + kFixedInfoBytes) return std::nullopt;
    if (littleEndian(resource, 2, 2) < kFixedInfoBytes) return std::nullopt;  // wValueLength
    for (size_t i = 0; i < std::size(kVersionKey); ++i) {
        if (littleEndian(resource, kKeyOffset + 2 * i, 2) != kVersionKey[i]) return std::nullopt;
    }
    if (littleEndian(resource, kFixedInfoOffset, 4) != kFixedInfoSignature) return std::nullopt;
    const uint64_t mostSignificant = littleEndian(resource, kFixedInfoOffset + 8, 4);
    const uint64_t leastSignificant = littleEndian(resource, kFixedInfoOffset + 12, 4);
    return (mostSignificant << 32) | leastSignificant;
}

ByteString versionText(FileVersion version) {
    ByteString text;
    for (int shift = 48; shift >= 0; shift -= 16) {
        text += std::to_string((version >> shift) & 0xFFFF);
        if (shift > 0) text += '.';
    }
    return text;
}

std::optional<FileVersion> parseVersionText(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    FileVersion version = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (at >= text.size() || text[at++] != '.')) return std::nullopt;
        const size_t start = at;
        uint32_t value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 5) {
            value = value * 10 + static_cast<uint32_t>(text[at++] - '0');
        }
        if (at == start || value > 0xFFFF) return std::nullopt;
        version = (version << 16) | value;
    }
    if (at != text.size()) return std::nullopt;
    return version;
}

}  // namespace varnix
