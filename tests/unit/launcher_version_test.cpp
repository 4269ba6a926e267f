#include "launch/launcher_version.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

using namespace varnix;

namespace {

constexpr FileVersion kVersion = 0x0001000200030004ull;  // 1.2.3.4

void putLittleEndian(std::string& bytes, size_t offset, uint32_t value, size_t width) {
    for (size_t i = 0; i < width; ++i)
        bytes[offset + i] = static_cast<char>(value >> (8 * i));
}

// A VS_VERSIONINFO as the resource compiler lays it out, up to the end of its fixed part.
std::string versionResource() {
    std::string bytes(92, '\0');
    putLittleEndian(bytes, 0, 92, 2);
    putLittleEndian(bytes, 2, 52, 2);
    const std::u16string key = u"VS_VERSION_INFO";
    for (size_t i = 0; i < key.size(); ++i)
        putLittleEndian(bytes, 6 + 2 * i, key[i], 2);
    putLittleEndian(bytes, 40, 0xFEEF04BD, 4);
    putLittleEndian(bytes, 48, 0x00010002, 4);
    putLittleEndian(bytes, 52, 0x00030004, 4);
    return bytes;
}

struct ResourceCase {
    const char* name;
    size_t offset;  // one byte changed here ...
    char value;     // ... to this; an offset past the end cuts the resource there instead
    std::optional<FileVersion> version;
};

class FixedFileVersionTable : public testing::TestWithParam<ResourceCase> {};

TEST_P(FixedFileVersionTable, ReadsOnlyAWellFormedResource) {
    std::string bytes = versionResource();
    if (GetParam().offset < bytes.size()) {
        bytes[GetParam().offset] = GetParam().value;
    } else {
        bytes.resize(GetParam().offset - bytes.size());
    }
    EXPECT_EQ(fixedFileVersion(bytes), GetParam().version);
}

INSTANTIATE_TEST_SUITE_P(Resource, FixedFileVersionTable,
                         testing::Values(ResourceCase{"well_formed", 0, 92, kVersion},
                                         ResourceCase{"cut_short", 92 + 91, 0, std::nullopt},
                                         ResourceCase{"empty", 92 + 0, 0, std::nullopt},
                                         ResourceCase{"other_key", 6, 'W', std::nullopt},
                                         ResourceCase{"key_not_terminated", 36, 'X', std::nullopt},
                                         ResourceCase{"no_fixed_part", 2, 0, std::nullopt},
                                         ResourceCase{"wrong_signature", 40, 0x00, std::nullopt},
                                         ResourceCase{"other_build", 52, 0x05,
                                                      0x0001000200030005ull}),
                         [](const auto& info) { return info.param.name; });

struct TextCase {
    const char* name;
    const char* text;
    std::optional<FileVersion> version;
};

class VersionTextTable : public testing::TestWithParam<TextCase> {};

TEST_P(VersionTextTable, ParsesExactlyFourParts) {
    EXPECT_EQ(parseVersionText(GetParam().text), GetParam().version);
    if (GetParam().version) {
        EXPECT_EQ(parseVersionText(versionText(*GetParam().version)), GetParam().version);
    }
}

INSTANTIATE_TEST_SUITE_P(Text, VersionTextTable,
                         testing::Values(TextCase{"plain", "1.2.3.4", kVersion},
                                         TextCase{"line_break", "1.2.3.4\r\n", kVersion},
                                         TextCase{"largest", "65535.65535.65535.65535", ~0ull},
                                         TextCase{"zero", "0.0.0.0", 0},
                                         TextCase{"part_too_large", "1.2.3.65536", std::nullopt},
                                         TextCase{"three_parts", "1.2.3", std::nullopt},
                                         TextCase{"five_parts", "1.2.3.4.5", std::nullopt},
                                         TextCase{"empty_part", "1..3.4", std::nullopt},
                                         TextCase{"blank", " 1.2.3.4", std::nullopt},
                                         TextCase{"letters", "1.2.3.x", std::nullopt},
                                         TextCase{"nothing", "", std::nullopt}),
                         [](const auto& info) { return info.param.name; });

TEST(VersionText, WritesTheMostSignificantPartFirst) {
    EXPECT_EQ(versionText(kVersion), "1.2.3.4");
    EXPECT_EQ(versionText(0x000A000000000100ull), "10.0.0.256");
}

}  // namespace
