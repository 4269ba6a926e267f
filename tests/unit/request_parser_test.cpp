#include <gtest/gtest.h>

#include "deps/request.h"

using namespace varnix;
using Names = std::vector<std::string>;

TEST(DependencyRequestParser, KeysInAnyCaseNamesSortedOnceByBytes) {
    DependencyRequest request;
    ASSERT_TRUE(
        parseDependencyRequestText("Package=voice\r\n  PACKAGE = video "
                                   "\npackages=b;;voice;;A;\npackage=\nunknown=x\nno equals\n",
                                   request));
    EXPECT_EQ(request.packages, (Names{"A", "b", "video", "voice"}));
    EXPECT_TRUE(request.reason.empty());
    EXPECT_TRUE(request.missing.empty());
}

TEST(DependencyRequestParser, LaterReasonAndMissingReplaceEarlierOnes) {
    DependencyRequest request;
    ASSERT_TRUE(parseDependencyRequestText(
        "reason=first\nmissing=a.dll;b.dll\npackage=x\nreason = a=b=c \nmissing=c.dll;;\n",
        request));
    EXPECT_EQ(request.reason, "a=b=c");
    EXPECT_EQ(request.missing, (Names{"c.dll", "", ""}));
    ASSERT_TRUE(parseDependencyRequestText("package=x\nmissing=\n", request));
    EXPECT_EQ(request.missing, (Names{""}));
}

TEST(DependencyRequestParser, InvalidRequestsLeaveNothingBehind) {
    DependencyRequest request;
    request.reason = "stale";
    EXPECT_FALSE(parseDependencyRequestText("", request));
    EXPECT_TRUE(request.reason.empty());
    EXPECT_FALSE(parseDependencyRequestText("reason=only a reason\nno equals sign\n", request));
    EXPECT_FALSE(parseDependencyRequestText("packages=;;\n", request));
    // A byte-order mark becomes part of the first key, which then means nothing.
    EXPECT_FALSE(parseDependencyRequestText("\xEF\xBB\xBFpackage=x\n", request));
}

// Each control character, wherever the request names something, reaches the dialog and the log
// as one "?"; the file's size decides first.
TEST(DependencyRequestParser, ControlCharactersBecomeQuestionMarksAndLargeFilesAreInvalid) {
    struct Case {
        const char* control;  // UTF-8
        bool replaced;
    };
    const Case cases[] = {
        {"\x01", true},
        {"\t", true},
        {"\r", true},
        {"\x1b", true},
        {"\x7f", true},
        {"\xc2\x80", true},
        {"\xc2\x9f", true},
        {"\xe2\x80\xa8", true},
        {"\xe2\x80\xa9", true},
        {"\xe2\x80\xaa", true},
        {"\xe2\x80\xae", true},
        {"\xe2\x81\xa6", true},
        {"\xe2\x81\xa9", true},
        {"\xe2\x80\x8b", true},  // U+200B zero width space
        {"\xe2\x80\x8f", true},  // U+200F right-to-left mark
        {"\xd8\x9c", true},      // U+061C Arabic letter mark
        {"\xef\xbb\xbf", true},  // U+FEFF zero width no-break space
        {"\xc2\xa0", false},
        {"\xe2\x80\xa7", false},
        {"\xe2\x80\xaf", false},
        {"\xe2\x81\xa5", false},
        {"\xd0\x96", false},
        {"\xe2\x80\x8a", false},  // U+200A hair space
        {"\xe2\x80\x90", false},  // U+2010 hyphen
        {"\xd8\x9b", false},      // U+061B Arabic semicolon
        {"\xef\xbb\xbe", false},  // U+FEFE
    };
    for (const Case& c : cases) {
        const std::string control = c.control;
        const std::string shown = c.replaced ? "?" : control;
        DependencyRequest request;
        ASSERT_TRUE(parseDependencyRequestText(
            "package=a" + control + "b\nreason=r" + control + "s\nmissing=m" + control + "n;x\n",
            request))
            << control;
        EXPECT_EQ(request.packages, (Names{"a" + shown + "b"})) << control;
        EXPECT_EQ(request.reason, "r" + shown + "s") << control;
        EXPECT_EQ(request.missing, (Names{"m" + shown + "n", "x"})) << control;
    }
    const std::string line = "package=x\n";
    std::string content;
    while (content.size() + line.size() <= 64 * 1024)
        content += line;
    DependencyRequest request;
    content.resize(64 * 1024, ' ');
    EXPECT_TRUE(parseDependencyRequestText(content, request));
    EXPECT_FALSE(parseDependencyRequestText(content + " ", request));
}
