// The archive's own directory: the reader, the CRC-32 and the rule every entry name must pass.
#include "packages/zip_directory.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "packages/crc32.h"
#include "varnix/value_rules.h"

namespace varnix {
namespace {

std::string little(uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

struct Item {
    std::string name;
    uint64_t size = 0;
    uint32_t crc = 0;
    bool utf8 = false;
    bool zip64 = false;  // sizes and offset in a ZIP64 extra field
};

std::string entryRecord(const Item& item, uint64_t localOffset) {
    const uint32_t full = 0xFFFFFFFF;
    const std::string extra = item.zip64 ? little(1, 2) + little(24, 2) + little(item.size, 8) +
                                               little(item.size, 8) + little(localOffset, 8)
                                         : "";
    return little(0x02014b50, 4) + little(45, 2) + little(45, 2) +
           little(item.utf8 ? 0x0800 : 0, 2) + little(0, 2) + little(0, 4) + little(item.crc, 4) +
           little(item.zip64 ? full : item.size, 4) + little(item.zip64 ? full : item.size, 4) +
           little(item.name.size(), 2) + little(extra.size(), 2) + little(0, 2) + little(0, 2) +
           little(0, 2) + little(0, 4) + little(item.zip64 ? full : localOffset, 4) + item.name +
           extra;
}

std::string endRecord(uint64_t count, uint64_t size, uint64_t offset, const std::string& comment,
                      uint16_t disk = 0) {
    return little(0x06054b50, 4) + little(disk, 2) + little(disk, 2) + little(count, 2) +
           little(count, 2) + little(size, 4) + little(offset, 4) + little(comment.size(), 2) +
           comment;
}

struct Layout {
    int countDelta = 0;     // what the end record claims beyond the real count
    bool zip64End = false;  // the end record's fields full, the values in a ZIP64 end record
    bool dropLocator = false;
};

// Stands for the entries' data; the reader never looks at it.
const std::string kData(64, 'd');

std::string archive(const std::vector<Item>& items, const Layout& layout = {}) {
    std::string directory;
    for (const Item& item : items)
        directory += entryRecord(item, 0);
    const uint64_t count = items.size() + layout.countDelta;
    std::string bytes = kData + directory;
    if (!layout.zip64End) return bytes + endRecord(count, directory.size(), kData.size(), "");
    const uint64_t recordAt = bytes.size();
    bytes += little(0x06064b50, 4) + little(44, 8) + little(45, 2) + little(45, 2) + little(0, 4) +
             little(0, 4) + little(count, 8) + little(count, 8) + little(directory.size(), 8) +
             little(kData.size(), 8);
    if (!layout.dropLocator)
        bytes += little(0x07064b50, 4) + little(0, 4) + little(recordAt, 8) + little(1, 4);
    return bytes + endRecord(0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, "");
}

ZipProblem read(const std::string& bytes, std::vector<ZipEntry>& entries) {
    return readZipDirectory(BufferSource(bytes), entries);
}

const Item kA{"lib/a.dll", 4, 0x11111111};
const Item kB{"lib/b.dll", 5, 0x22222222};

TEST(ZipDirectory, ReadsEntriesInOrderWithNameFlagSizeAndCrc) {
    std::vector<ZipEntry> entries;
    const Item flagged{"данные/файл.txt", 7, 0x33333333, true};
    ASSERT_EQ(read(archive({kA, kB, flagged, kA}), entries), ZipProblem::None);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].rawName, "lib/a.dll");
    EXPECT_EQ(entries[1].size, 5u);
    EXPECT_EQ(entries[1].crc32, 0x22222222u);
    EXPECT_TRUE(entries[2].nameIsUtf8);
    EXPECT_FALSE(entries[0].nameIsUtf8);
    EXPECT_EQ(entries[3].rawName, "lib/a.dll");  // a repeated name comes back twice, in order
}

TEST(ZipDirectory, ReadsZip64EndRecordAndExtraField) {
    std::vector<ZipEntry> entries;
    const Item large{"big.bin", 5ull << 30, 0x44444444, false, true};
    ASSERT_EQ(read(archive({kA, large}, {.zip64End = true}), entries), ZipProblem::None);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].size, 5ull << 30);
    EXPECT_EQ(entries[1].crc32, 0x44444444u);
}

TEST(ZipDirectory, EmptyArchiveHasNoEntries) {
    std::vector<ZipEntry> entries{ZipEntry{}};
    EXPECT_EQ(read(archive({}), entries), ZipProblem::None);
    EXPECT_TRUE(entries.empty());
}

struct Refusal {
    const char* name;
    std::string bytes;
    ZipProblem problem;
};

std::string withSecondEndInComment() {
    // The end record's comment holds a second end record that also ends at the file's end: a
    // reader searching backwards and one checking the comment length see different directories.
    std::string bytes = archive({kA});
    const std::string inner = endRecord(0, 0, 0, "");
    bytes[bytes.size() - 2] = static_cast<char>(inner.size());
    return bytes + inner;
}

std::string withEndPastTheFile() {
    std::string bytes = archive({kA});
    bytes[bytes.size() - 2] = 5;  // a comment of five bytes that are not there
    return bytes;
}

std::string withNamePastTheDirectory() {
    std::string bytes = archive({kA});
    bytes[kData.size() + 28] = static_cast<char>(0xF0);  // name length 240
    return bytes;
}

std::string withDirectoryOffsetPastTheEnd() {
    std::string bytes = archive({kA});
    bytes.replace(bytes.size() - 6, 4, little(1u << 30, 4));
    return bytes;
}

std::string zip64WithoutExtraField() {
    std::string bytes = archive({kA}, {.zip64End = true});
    const size_t sizeAt = kData.size() + 24;
    bytes.replace(sizeAt, 4, little(0xFFFFFFFF, 4));  // full, and no extra field to fill it
    return bytes;
}

const std::string kZip = archive({kA, kB});

class ZipRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(ZipRefusal, ReportsTheProblemAndNoEntries) {
    std::vector<ZipEntry> entries{ZipEntry{}};
    EXPECT_EQ(read(GetParam().bytes, entries), GetParam().problem);
    EXPECT_TRUE(entries.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Refuses, ZipRefusal,
    ::testing::Values(
        Refusal{"not_a_zip", "this is not a zip archive", ZipProblem::NoEndRecord},
        Refusal{"empty_file", "", ZipProblem::NoEndRecord},
        Refusal{"cut_in_the_directory", kZip.substr(0, kZip.size() - 30), ZipProblem::NoEndRecord},
        Refusal{"cut_in_the_end_record", kZip.substr(0, kZip.size() - 3), ZipProblem::NoEndRecord},
        Refusal{"two_end_records", withSecondEndInComment(), ZipProblem::SeveralEndRecords},
        Refusal{"comment_past_the_end", withEndPastTheFile(), ZipProblem::Truncated},
        Refusal{"name_past_the_directory", withNamePastTheDirectory(), ZipProblem::Truncated},
        Refusal{"directory_offset_past_the_end", withDirectoryOffsetPastTheEnd(),
                ZipProblem::Truncated},
        Refusal{"count_above_entries", archive({kA, kB}, {.countDelta = 1}),
                ZipProblem::EntryCountMismatch},
        Refusal{"count_below_entries", archive({kA, kB}, {.countDelta = -1}),
                ZipProblem::EntryCountMismatch},
        Refusal{"zip64_count_below_entries",
                archive({kA, kB}, {.countDelta = -1, .zip64End = true}),
                ZipProblem::EntryCountMismatch},
        Refusal{"zip64_without_locator", archive({kA}, {.zip64End = true, .dropLocator = true}),
                ZipProblem::BadZip64},
        Refusal{"zip64_size_without_extra_field", zip64WithoutExtraField(), ZipProblem::BadZip64},
        Refusal{"second_disk", kData + endRecord(0, 0, 0, "", 1), ZipProblem::SplitArchive}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(ZipDirectory, EveryPrefixOfAnArchiveIsRefusedWithoutReadingPastIt) {
    const std::string whole = archive({kA, {"x", 1, 2, false, true}, kB}, {.zip64End = true});
    std::vector<ZipEntry> entries;
    ASSERT_EQ(read(whole, entries), ZipProblem::None);
    for (size_t length = 0; length < whole.size(); ++length) {
        const std::string cut = whole.substr(0, length);
        EXPECT_NE(read(cut, entries), ZipProblem::None) << length;
        EXPECT_TRUE(entries.empty()) << length;
    }
}

uint32_t bytewiseCrc(const std::string& data) {
    uint32_t crc = 0xFFFFFFFF;
    for (unsigned char byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

TEST(Crc32, MatchesTheCheckValueAndABytewiseCrcInAnyPieces) {
    EXPECT_EQ(updateCrc32(0, "123456789", 9), 0xCBF43926u);
    EXPECT_EQ(updateCrc32(0, "", 0), 0u);
    std::string data;
    for (int i = 0; i < 300; ++i)
        data += static_cast<char>(i * 7 + 3);
    for (size_t split = 0; split <= data.size(); split += 13) {
        const uint32_t first = updateCrc32(0, data.data(), split);
        EXPECT_EQ(updateCrc32(first, data.data() + split, data.size() - split), bytewiseCrc(data))
            << split;
    }
}

struct EntryRule {
    const char* entry;
    const char* package;
    bool allowed;
};

class ArchiveEntryRule : public ::testing::TestWithParam<EntryRule> {};

TEST_P(ArchiveEntryRule, DecidesWhatTheExtractionMayWrite) {
    const EntryRule& rule = GetParam();
    EXPECT_EQ(archiveEntryProblem(rule.entry, rule.package).empty(), rule.allowed)
        << rule.entry << " in " << rule.package;
}

INSTANTIATE_TEST_SUITE_P(
    Entries, ArchiveEntryRule,
    ::testing::Values(EntryRule{"lib/a.dll", "lib", true}, EntryRule{"lib/", "lib", true},
                      EntryRule{"lib\\sub\\", "lib", true}, EntryRule{"~tmp/a", "lib", true},
                      EntryRule{"longername~1/a", "lib", true},
                      EntryRule{"launcher/VarnixLauncher.exe", "launcher", true},
                      EntryRule{".packages/core.sha256", "lib", false},
                      EntryRule{".PACKAGES\\manifest.serial", "lib", false},
                      EntryRule{".packages/", "lib", false},
                      EntryRule{"PACKAG~1/core.sha256", "lib", false},
                      EntryRule{"packag~1\\launcher.refused", "lib", false},
                      EntryRule{"_PAC~QXC/core.sha256", "lib", false},
                      EntryRule{"launcher/VarnixLauncher.exe", "lib", false},
                      EntryRule{"LAUNCHER\\VarnixLauncher.exe", "Launcher", false},
                      EntryRule{"../evil.dll", "lib", false},
                      EntryRule{"lib/../../x", "lib", false}, EntryRule{"/rooted", "lib", false},
                      EntryRule{"C:/x", "lib", false}, EntryRule{"", "lib", false},
                      EntryRule{"/", "lib", false}, EntryRule{"lib//a", "lib", false},
                      EntryRule{"lib/a\x01.dll", "lib", false},
                      EntryRule{".packages\xC2\xA0/core.sha256", "lib", false},
                      EntryRule{"launcher\xE3\x80\x80/VarnixLauncher.exe", "lib", false},
                      EntryRule{"lib/..\xE2\x80\x8A/..\xE2\x80\x8A/x", "lib", false},
                      EntryRule{"lib/a\xC2\xA0"
                                "b.dll",
                                "lib", true}));

}  // namespace
}  // namespace varnix
