// The application's integration header against the launcher's own request parser: whatever the
// header writes must come back unchanged, and whatever it refuses would not have.
#include <algorithm>

#include <gtest/gtest.h>

#include "deps/request.h"
#include "varnix/app.h"

using namespace varnix;
using Names = std::vector<std::string>;

namespace {

struct RequestRow {
    const char* label;
    Names packages;
    std::string reason;
    Names missing;
    app::RequestResult expected;
    bool parserWouldChangeIt;  // for refusals: written plainly, the launcher reads something else
};

const RequestRow kRequestRows[] = {
    {"one name", {"voice"}, "", {}, VARNIX_REQUEST_WRITTEN, false},
    {"repeated names, non-ASCII reason, empty missing item",
     {"video", "voice", "video"},
     "Голосовые звонки",
     {"voice/voice.dll", "", "codecs\\opus.dll"},
     VARNIX_REQUEST_WRITTEN,
     false},
    {"names with = and Cyrillic, reason with =",
     {"графика", "a=b"},
     "x = y",
     {},
     VARNIX_REQUEST_WRITTEN,
     false},
    {"names differing in case stay two", {"voice", "Voice"}, "", {}, VARNIX_REQUEST_WRITTEN, false},
    {"one empty missing item", {"voice"}, "", {""}, VARNIX_REQUEST_WRITTEN, false},
    {"inner blanks of missing items",
     {"voice"},
     "",
     {"a ", " b c", "d"},
     VARNIX_REQUEST_WRITTEN,
     false},

    {"no package", {}, "r", {}, VARNIX_REQUEST_NO_PACKAGE, true},
    {"semicolon and blank in a name", {"a; b"}, "", {}, VARNIX_REQUEST_INVALID_NAME, true},
    {"leading blank", {" b"}, "", {}, VARNIX_REQUEST_INVALID_NAME, true},
    {"line break in a name", {"a\nb"}, "", {}, VARNIX_REQUEST_INVALID_NAME, true},
    {"device name", {"CON"}, "", {}, VARNIX_REQUEST_INVALID_NAME, false},
    {"device name with extension", {"lpt1.zip"}, "", {}, VARNIX_REQUEST_INVALID_NAME, false},
    {"trailing dot", {"voice."}, "", {}, VARNIX_REQUEST_INVALID_NAME, false},
    {"separator", {"a/b"}, "", {}, VARNIX_REQUEST_INVALID_NAME, false},
    {"not UTF-8", {"\xC3"}, "", {}, VARNIX_REQUEST_INVALID_NAME, false},
    {"reason with line break", {"voice"}, "one\ntwo=2", {}, VARNIX_REQUEST_INVALID_REASON, true},
    {"reason with CR", {"voice"}, "one\rtwo", {}, VARNIX_REQUEST_INVALID_REASON, false},
    {"reason with leading blank", {"voice"}, " why", {}, VARNIX_REQUEST_INVALID_REASON, true},
    {"reason with trailing tab", {"voice"}, "why\t", {}, VARNIX_REQUEST_INVALID_REASON, true},
    {"reason not UTF-8", {"voice"}, "\xFF", {}, VARNIX_REQUEST_INVALID_REASON, false},
    {"semicolon in a missing item", {"voice"}, "", {"a;b"}, VARNIX_REQUEST_INVALID_MISSING, true},
    {"missing list starting with a blank",
     {"voice"},
     "",
     {" a", "b"},
     VARNIX_REQUEST_INVALID_MISSING,
     true},
    {"missing list ending with a blank",
     {"voice"},
     "",
     {"a", "b "},
     VARNIX_REQUEST_INVALID_MISSING,
     true},
    {"line break in a missing item",
     {"voice"},
     "",
     {"a\nmissing=b"},
     VARNIX_REQUEST_INVALID_MISSING,
     true},
};

std::string joined(const Names& items) {
    std::string text;
    for (size_t i = 0; i < items.size(); ++i)
        text += (i ? ";" : "") + items[i];
    return text;
}

// What an application without the header would write.
std::string plainText(const RequestRow& row) {
    return "packages=" + joined(row.packages) + "\nreason=" + row.reason +
           (row.missing.empty() ? "" : "\nmissing=" + joined(row.missing)) + "\n";
}

bool parsesAsWritten(const std::string& text, const RequestRow& row) {
    DependencyRequest request;
    if (!parseDependencyRequestText(text, request)) return false;
    Names packages = row.packages;
    std::sort(packages.begin(), packages.end());
    packages.erase(std::unique(packages.begin(), packages.end()), packages.end());
    return request.packages == packages && request.reason == row.reason &&
           request.missing == row.missing;
}

}  // namespace

TEST(FormatDependencyRequest, RoundTripsThroughTheLaunchersParserOrRefuses) {
    for (const RequestRow& row : kRequestRows) {
        SCOPED_TRACE(row.label);
        std::string text = "stale";
        EXPECT_EQ(app::formatDependencyRequest(row.packages, row.reason, row.missing, text),
                  row.expected);
        if (row.expected == VARNIX_REQUEST_WRITTEN) {
            EXPECT_EQ(text.rfind("packages=", 0), 0u);  // no byte-order mark
            EXPECT_TRUE(parsesAsWritten(text, row));
        } else {
            EXPECT_EQ(text, "");
            if (row.parserWouldChangeIt) {
                EXPECT_FALSE(parsesAsWritten(plainText(row), row));
            }
        }
    }
}

TEST(PackageNames, OneWindowsFileNameSegmentThatMeansTheSameEverywhere) {
    for (const char* name : {"voice", "graphics_compat", "a b", "видео", "a=b", ".hidden", "con1",
                             "com0", "comx", "console", "lpt10", "x.con", "nul_ok"}) {
        EXPECT_TRUE(isValidPackageName(name)) << name;
    }
    for (const char* name :
         {"",    ".",       "..",   "a/b",         "a\\b",  "c:",       "a<b",   "a>b",   "a\"b",
          "a|b", "a?b",     "a*b",  "a\x01",       "a\x7f", "tab\t",    "name.", "name ", "CON",
          "con", "Nul.txt", "com1", "COM9.tar.gz", "lpt5",  "aux .txt", "Prn"}) {
        EXPECT_FALSE(isValidPackageName(name)) << name;
    }
    EXPECT_FALSE(isValidPackageName(std::string_view("a\0b", 3)));
}
