#include <gtest/gtest.h>

#include "launch/quoting.h"
#include "platform/path.h"
#include "platform/redact.h"
#include "platform/text.h"

using namespace varnix;

TEST(JoinPath, InsertsExactlyOneBackslashWhereNeeded) {
    EXPECT_EQ(joinPath(L"C:\\App", L"system"), L"C:\\App\\system");
    EXPECT_EQ(joinPath(L"C:\\App\\", L"system"), L"C:\\App\\system");
    EXPECT_EQ(joinPath(L"C:\\App/", L"system"), L"C:\\App/system");
    EXPECT_EQ(joinPath(L"", L"x"), L"x");
    EXPECT_EQ(joinPath(L"C:\\App", L""), L"C:\\App");
    // The second part is never trimmed.
    EXPECT_EQ(joinPath(L"C:\\App", L"\\x"), L"C:\\App\\\\x");
}

TEST(ParentPath, TakesEitherSeparator) {
    EXPECT_EQ(parentPath(L"C:\\L\\logs\\launcher.log"), L"C:\\L\\logs");
    EXPECT_EQ(parentPath(L"C:\\L/logs"), L"C:\\L");
    EXPECT_EQ(parentPath(L"launcher.log"), L"");
}

struct InsidePathCase {
    const char* name;
    const wchar_t* path;
    const wchar_t* base;
    bool inside;
};

class SameOrInsidePathTable : public ::testing::TestWithParam<InsidePathCase> {};

TEST_P(SameOrInsidePathTable, ComparesWholeComponents) {
    EXPECT_EQ(isSameOrInsidePath(GetParam().path, GetParam().base), GetParam().inside);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SameOrInsidePathTable,
    ::testing::Values(
        InsidePathCase{"Same", L"C:\\Program Files", L"C:\\Program Files", true},
        InsidePathCase{"Below", L"C:\\Program Files\\Varnix", L"C:\\Program Files", true},
        InsidePathCase{"OtherCase", L"c:\\PROGRAM FILES\\Varnix", L"C:\\Program Files", true},
        InsidePathCase{"TrailingSeparators", L"C:\\Windows\\", L"C:\\Windows\\", true},
        InsidePathCase{"ForwardSlashes", L"C:/Windows/Varnix", L"C:\\Windows", true},
        // A longer name that only starts like the base is beside it, not in it.
        InsidePathCase{"SiblingWithTheSamePrefix", L"C:\\Program Files (x86)", L"C:\\Program Files",
                       false},
        InsidePathCase{"WindowsOld", L"C:\\Windows.old\\Varnix", L"C:\\Windows", false},
        InsidePathCase{"Parent", L"C:\\Program Files", L"C:\\Program Files\\Varnix", false},
        InsidePathCase{"OtherDrive", L"D:\\Windows", L"C:\\Windows", false},
        InsidePathCase{"EmptyBase", L"C:\\Users", L"", false}),
    [](const ::testing::TestParamInfo<InsidePathCase>& info) {
        return std::string(info.param.name);
    });

TEST(TrimWhitespace, LineBreaksGoOnlyFromTheEnd) {
    EXPECT_EQ(trimWhitespace(" \tabc \r\n"), "abc");
    EXPECT_EQ(trimWhitespace("\r\nabc"), "\r\nabc");
    EXPECT_EQ(trimWhitespace(" \r\n"), "");
    EXPECT_EQ(trimWhitespace("a b"), "a b");
}

TEST(ToLowerAscii, OnlyAsciiCapitalsChange) {
    EXPECT_EQ(toLowerAscii("ABCDEF0123456789"), "abcdef0123456789");
    const std::string cyrillicCapitals = "\xD0\x9F\xD0\x90";  // "ПА" in UTF-8
    EXPECT_EQ(toLowerAscii(cyrillicCapitals), cyrillicCapitals);
}

TEST(RedactSiteUrls, SchemeAndHostBecomeTokensPathStays) {
    const std::wstring host = L"update.varnix.example";
    EXPECT_EQ(redactSiteUrls(L"Downloading manifest: https://update.varnix.example/varnix/"
                             L"repository/manifest.txt",
                             host),
              L"Downloading manifest: [HTTPS:SITE]/varnix/repository/manifest.txt");
    EXPECT_EQ(redactSiteUrls(L"http://update.varnix.example/x", host), L"[HTTP:SITE]/x");
    EXPECT_EQ(redactSiteUrls(L"ftp://update.varnix.example cdn.update.varnix.example", host),
              L"ftp://[SITE] cdn.[SITE]");
    // Matching is case-sensitive.
    EXPECT_EQ(redactSiteUrls(L"https://UPDATE.VARNIX.EXAMPLE/", host),
              L"https://UPDATE.VARNIX.EXAMPLE/");
    EXPECT_EQ(
        redactSiteUrls(L"a https://update.varnix.example b https://update.varnix.example", host),
        L"a [HTTPS:SITE] b [HTTPS:SITE]");
    EXPECT_EQ(redactSiteUrls(L"nothing here", L""), L"nothing here");
}

TEST(QuoteArgument, PlainArgumentsAreOnlyWrapped) {
    EXPECT_EQ(quoteArgument(L"-a"), L"\"-a\"");
    EXPECT_EQ(quoteArgument(L"b c"), L"\"b c\"");
    EXPECT_EQ(quoteArgument(L""), L"\"\"");
    EXPECT_EQ(quoteArgument(L"C:\\dir\\file"), L"\"C:\\dir\\file\"");
}

TEST(QuoteArgument, QuotesAndTrailingBackslashesAreEscaped) {
    EXPECT_EQ(quoteArgument(L"say \"hi\""), L"\"say \\\"hi\\\"\"");
    EXPECT_EQ(quoteArgument(L"C:\\dir\\"), L"\"C:\\dir\\\\\"");
    EXPECT_EQ(quoteArgument(L"a\\\"b"), L"\"a\\\\\\\"b\"");
}
