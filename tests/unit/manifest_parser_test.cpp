#include <gtest/gtest.h>

#include "manifest/manifest.h"

using namespace varnix;

TEST(SplitString, KeepsEmptyItems) {
    EXPECT_EQ(splitString("x;;y;", ';'), (std::vector<std::string>{"x", "", "y", ""}));
    EXPECT_EQ(splitString("", ';'), (std::vector<std::string>{""}));
}

TEST(ParseManifest, ReadsFieldsAndLowerCasesTheHash) {
    const Manifest manifest = parseManifest(
        "# comment\r\n"
        "\n"
        "  \tpackage|core|core.zip|ABCdef|1|Varnix.exe;bin/app.dll|ignored\r\n"
        "package|extra|extra zip.zip|00|0|\n"
        "package|last|last.zip|11| 1|a");
    ASSERT_EQ(manifest.size(), 3u);
    EXPECT_EQ(manifest[0].name, "core");
    EXPECT_EQ(manifest[0].archive, "core.zip");
    EXPECT_EQ(manifest[0].sha256, "abcdef");
    EXPECT_TRUE(manifest[0].required);
    EXPECT_EQ(manifest[0].files, (std::vector<std::string>{"Varnix.exe", "bin/app.dll"}));
    EXPECT_EQ(manifest[1].archive, "extra zip.zip");
    EXPECT_FALSE(manifest[1].required);
    EXPECT_EQ(manifest[1].files, (std::vector<std::string>{""}));
    EXPECT_FALSE(manifest[2].required);  // " 1" is not "1"
}

TEST(ParseManifest, SkipsLinesThatAreNotValidPackages) {
    const Manifest manifest = parseManifest(
        "package|a|b|c|1\n"   // five fields
        "Package|a|b|c|1|\n"  // prefix is case-sensitive
        "packages|a|b|c|1|\n"
        "package||b|c|1|x\n"  // empty name
        "package|a||c|1|x\n"
        "package|a|b||1|x\n"
        "\xEF\xBB\xBFpackage|bom|b|c|1|\n"  // a byte-order mark hides the first line
        "package|dup|one.zip|c|0|\n"
        "package|dup|two.zip|c|0|\n");
    ASSERT_EQ(manifest.size(), 2u);
    EXPECT_EQ(manifest[0].archive, "one.zip");
    EXPECT_EQ(manifest[1].archive, "two.zip");
    EXPECT_TRUE(parseManifest("").empty());
    EXPECT_TRUE(parseManifest("# only\n\n   \n").empty());
}

// Every value a correctly signed line could use to reach outside its place, next to one good
// line: the bad line is skipped and counted, the good one stays.
struct BadLine {
    const char* why;
    std::string line;
};

class ParseManifestRefuses : public ::testing::TestWithParam<BadLine> {};

TEST_P(ParseManifestRefuses, AnUnsafeValueNextToAGoodLine) {
    size_t skipped = 99;
    const Manifest manifest = parseManifest(
        GetParam().line + "\n# note\nfresh|whatever\npackage|good|good.zip|00|1|a/b.dll\n",
        &skipped);
    ASSERT_EQ(manifest.size(), 1u);
    EXPECT_EQ(manifest[0].name, "good");
    EXPECT_EQ(skipped, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ParseManifestRefuses,
    ::testing::Values(
        BadLine{"name_dotdot", "package|..|x.zip|00|1|"},
        BadLine{"name_dot", "package|.|x.zip|00|1|"},
        BadLine{"name_path", "package|..\\..\\x|x.zip|00|1|"},
        BadLine{"name_slash", "package|a/b|x.zip|00|1|"},
        BadLine{"name_colon", "package|C:x|x.zip|00|1|"},
        BadLine{"name_trailing_dot", "package|lib.|x.zip|00|1|"},
        BadLine{"name_trailing_blank", "package|lib |x.zip|00|1|"},
        BadLine{"name_device", "package|con|x.zip|00|1|"},
        BadLine{"name_device_extension", "package|Lpt9.sha|x.zip|00|1|"},
        BadLine{"name_device_superscript", "package|COM\xC2\xB9|x.zip|00|1|"},
        BadLine{"name_control", "package|a\x01|x.zip|00|1|"},
        BadLine{"name_del", "package|a\x7F|x.zip|00|1|"},
        BadLine{"name_c1", "package|a\xC2\x85|x.zip|00|1|"},
        BadLine{"name_line_separator", "package|a\xE2\x80\xA8|x.zip|00|1|"},
        BadLine{"name_paragraph_separator", "package|a\xE2\x80\xA9|x.zip|00|1|"},
        BadLine{"name_embedding", "package|a\xE2\x80\xAA|x.zip|00|1|"},
        BadLine{"name_override", "package|a\xE2\x80\xAE|x.zip|00|1|"},
        BadLine{"name_isolate", "package|a\xE2\x81\xA6|x.zip|00|1|"},
        BadLine{"name_pop_isolate", "package|a\xE2\x81\xA9|x.zip|00|1|"},
        BadLine{"name_zero_width_space", "package|a\xE2\x80\x8B|x.zip|00|1|"},
        BadLine{"name_right_to_left_mark", "package|a\xE2\x80\x8F|x.zip|00|1|"},
        BadLine{"name_arabic_letter_mark", "package|a\xD8\x9C|x.zip|00|1|"},
        BadLine{"name_byte_order_mark",
                "package|\xEF\xBB\xBF"
                "a|x.zip|00|1|"},
        BadLine{"archive_override", "package|p|x\xE2\x80\xAE.zip|00|1|"},
        BadLine{"item_zero_width_joiner", "package|p|x.zip|00|1|bin/a\xE2\x80\x8D.dll"},
        BadLine{"name_bad_utf8", "package|\xC3(|x.zip|00|1|"},
        BadLine{"archive_path", "package|p|..\\system\\keep.txt|00|1|"},
        BadLine{"archive_reserved", "package|p|x?.zip|00|1|"},
        BadLine{"archive_quote", "package|p|x\".zip|00|1|"},
        BadLine{"item_up", "package|p|x.zip|00|1|../../x/precious.txt"},
        BadLine{"item_up_backslash", "package|p|x.zip|00|1|a\\..\\..\\b"},
        BadLine{"item_rooted", "package|p|x.zip|00|1|/etc/x"},
        BadLine{"item_rooted_backslash", "package|p|x.zip|00|1|\\x"},
        BadLine{"item_drive", "package|p|x.zip|00|1|C:\\x"},
        BadLine{"item_empty_segment", "package|p|x.zip|00|1|a//b"},
        BadLine{"item_dot_segment", "package|p|x.zip|00|1|a/./b"},
        BadLine{"item_trailing_separator", "package|p|x.zip|00|1|a/"},
        BadLine{"item_device", "package|p|x.zip|00|1|bin/aux.txt"},
        BadLine{"item_marker_dir", "package|p|x.zip|00|1|.PACKAGES/p.sha256"},
        BadLine{"item_bookkeeping", "package|p|x.zip|00|1|ok.dll;_Missing_Files.txt"},
        BadLine{"item_backup_complete", "package|p|x.zip|00|1|.backup_complete"},
        BadLine{"item_restore_pending", "package|p|x.zip|00|1|.Restore_Pending"},
        BadLine{"item_restore_pending_temporary", "package|p|x.zip|00|1|.Restore_Pending.tmp"},
        BadLine{"item_under_bookkeeping", "package|p|x.zip|00|1|_missing_files.txt/x"},
        BadLine{"item_trailing_dot", "package|p|x.zip|00|1|a./b"},
        BadLine{"item_up_trimmed", "package|p|x.zip|00|1|a/..\xC2\xA0/b"},
        BadLine{"item_marker_dir_trimmed", "package|p|x.zip|00|1|\xE3\x80\x80.packages/p.sha256"},
        BadLine{"name_leading_blank", "package| lib|x.zip|00|1|"},
        BadLine{"archive_trailing_thin_space", "package|p|x.zip\xE2\x80\x89|00|1|"},
        BadLine{"item_star", "package|p|x.zip|00|1|a*"},
        BadLine{"too_few_fields", "package|p|x.zip|00|1"}),
    [](const auto& info) { return std::string(info.param.why); });

TEST(ParseManifest, KeepsEveryValueThatWorksToday) {
    size_t skipped = 99;
    const Manifest manifest = parseManifest(
        "package|graphics_compat|graphics compat v1.2.zip|00|0|Varnix.exe;;bin\\x.dll;a/b c/d.e\n"
        "package|Пакет|архив.zip|00|0|_missing_files.txt.bak;sub/.packages/x;sub/"
        "_missing_files.txt\n"
        "package|console|nul_.zip|00|0|.hidden;comx;com0;lpt10\n",
        &skipped);
    EXPECT_EQ(manifest.size(), 3u);
    EXPECT_EQ(skipped, 0u);
}

namespace {

// Byte order with "/" and "\" alike: enough to show which duplicates are dropped.
int orderBySlashFreeBytes(const std::string& first, const std::string& second) {
    auto plain = [](std::string text) {
        for (char& c : text)
            c = c == '\\' ? '/' : c;
        return text;
    };
    return plain(first).compare(plain(second));
}

}  // namespace

TEST(DropDuplicateListedFiles, KeepsTheFirstSpellingOfEachFileInListOrder) {
    const struct {
        const char* name;
        std::vector<std::string> listed, kept;
    } rows[] = {
        {"no duplicate", {"b", "a"}, {"b", "a"}},
        {"separator only", {"lib/a.dll", "x", "lib\\a.dll"}, {"lib/a.dll", "x"}},
        {"three spellings", {"z", "a/b", "a\\b", "a/b"}, {"z", "a/b"}},
        {"later first in order", {"q", "p", "q"}, {"q", "p"}},
        {"empty items stay", {"", "a", ""}, {"", "a", ""}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PackageEntry entry;
        entry.files = row.listed;
        EXPECT_EQ(dropDuplicateListedFiles(entry, orderBySlashFreeBytes),
                  row.listed.size() - row.kept.size());
        EXPECT_EQ(entry.files, row.kept);
    }
}
