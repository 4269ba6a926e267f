#include "platform/log.h"

#include <windows.h>

#include <regex>

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "platform/handle.h"
#include "test_directory.h"

using namespace varnix;
using varnix_test::ScratchDirectory;

namespace {

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        logSetSiteHost(L"update.varnix.example");
        logSetPath(logPath());
    }
    void TearDown() override { logSetPath(L""); }

    std::wstring logDir() const { return scratch / L"logs"; }
    std::wstring logPath() const { return logDir() + L"\\launcher.log"; }
    std::wstring generation(int n) const {
        return logDir() + L"\\launcher_old_" + std::to_wstring(n) + L".log";
    }

    ScratchDirectory scratch;
};

}  // namespace

TEST_F(LogTest, NothingIsWrittenBeforeThePathIsSet) {
    logSetPath(L"");
    logWrite(L"lost");
    logRotate();
    EXPECT_FALSE(isExistingDirectory(logDir()));
}

TEST_F(LogTest, LineHasTimestampCrLfAndUtf8WithoutByteOrderMark) {
    logWrite(L"Launching Varnix.");
    logWrite(L"Путь: C:\\Тест");
    const std::string content = readWholeFile(logPath());
    const std::regex layout(
        "\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}\\] Launching Varnix\\.\r\n"
        "\\[[^\\]]{23}\\] \xD0\x9F\xD1\x83\xD1\x82\xD1\x8C: C:\\\\\xD0\xA2\xD0\xB5\xD1\x81\xD1\x82"
        "\r\n");
    EXPECT_TRUE(std::regex_match(content, layout)) << content;
}

TEST_F(LogTest, SiteAddressIsRedactedAndEmbeddedLineBreaksStay) {
    logWrite(L"Downloading manifest: https://update.varnix.example/varnix/repository/manifest.txt");
    logWrite(L"error text\r\n");
    const std::string content = readWholeFile(logPath());
    EXPECT_NE(
        content.find("] Downloading manifest: [HTTPS:SITE]/varnix/repository/manifest.txt\r\n"),
        std::string::npos);
    EXPECT_EQ(content.find("update.varnix.example"), std::string::npos);
    EXPECT_NE(content.find("] error text\r\n\r\n"), std::string::npos);
}

TEST_F(LogTest, DeletedLogDirectoryIsCreatedAgain) {
    logWrite(L"first");
    ASSERT_TRUE(deleteDirectoryTree(logDir()));
    logWrite(L"second");
    EXPECT_NE(readWholeFile(logPath()).find("] second\r\n"), std::string::npos);
}

TEST_F(LogTest, LockedLogOrFileInPlaceOfDirectoryLosesLinesQuietly) {
    logWrite(L"before");
    {
        FileHandle held(
            CreateFileW(logPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.valid());
        logWrite(L"lost while locked");
    }
    EXPECT_EQ(readWholeFile(logPath()).find("lost while locked"), std::string::npos);

    ASSERT_TRUE(deleteDirectoryTree(logDir()));
    ASSERT_TRUE(writeWholeFile(logDir(), "not a directory"));
    logRotate();
    logWrite(L"nowhere to go");
    EXPECT_EQ(readWholeFile(logDir()), "not a directory");
}

TEST_F(LogTest, RotationHappensOnlyAboveOneMebibyte) {
    ASSERT_TRUE(writeWholeFile(logPath(), std::string(1048576, 'a')));
    logRotate();
    EXPECT_TRUE(isExistingFile(logPath()));
    EXPECT_FALSE(isExistingFile(generation(1)));

    ASSERT_TRUE(writeWholeFile(logPath(), std::string(1048577, 'a')));
    logRotate();
    EXPECT_FALSE(isExistingFile(logPath()));
    EXPECT_EQ(readWholeFile(generation(1)).size(), 1048577u);
    EXPECT_FALSE(isExistingFile(generation(2)));  // gaps stay gaps
}

TEST_F(LogTest, RotationShiftsReadOnlyGenerationsAndDropsTheOldest) {
    ASSERT_TRUE(writeWholeFile(logPath(), std::string(1048577, 'c')));
    ASSERT_TRUE(writeWholeFile(generation(1), "one"));
    ASSERT_TRUE(writeWholeFile(generation(2), "two"));
    ASSERT_TRUE(writeWholeFile(generation(3), "three"));
    for (int n = 1; n <= 3; ++n) {
        SetFileAttributesW(generation(n).c_str(), FILE_ATTRIBUTE_READONLY);
    }
    logRotate();
    EXPECT_EQ(readWholeFile(generation(1)).size(), 1048577u);
    EXPECT_EQ(readWholeFile(generation(2)), "one");
    EXPECT_EQ(readWholeFile(generation(3)), "two");
    logWrite(L"fresh");
    EXPECT_EQ(readWholeFile(logPath()).substr(0, 1), "[");
}
