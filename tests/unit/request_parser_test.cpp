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
