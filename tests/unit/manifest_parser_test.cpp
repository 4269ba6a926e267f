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
