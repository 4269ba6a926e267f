#include <windows.h>
#include <shellapi.h>

#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "launch/app_launch.h"
#include "launch/command_line.h"
#include "launch/main_sequence.h"
#include "launch/quoting.h"
#include "platform/fs.h"
#include "platform/text_conversion.h"
#include "test_directory.h"

using namespace varnix;
using varnix_test::ScratchDirectory;
using varnix_test::shortSpelling;
using varnix_test::wineUnixRootSpelling;

namespace {

std::vector<std::wstring> splitLikeWindows(const std::wstring& commandLine) {
    int count = 0;
    wchar_t** items = CommandLineToArgvW(commandLine.c_str(), &count);
    std::vector<std::wstring> result(items, items + count);
    LocalFree(items);
    return result;
}

std::wstring environmentValue(const wchar_t* name) {
    std::vector<wchar_t> buffer(32767, L'\0');
    if (GetEnvironmentVariableW(name, buffer.data(), 32767) == 0) return L"<absent>";
    return buffer.data();
}

}  // namespace

TEST(QuoteArgument, EveryArgumentSurvivesTheWindowsSplitUnchanged) {
    const std::vector<std::wstring> arguments = {
        L"-a", L"b c", L"",         L"say \"hi\"",        L"C:\\dir\\", L"\\\\server\\share\\",
        L"\"", L"\\",  L"a\\\\\"b", L"ends with quote\"", L"tab\there", L"--opt=\"x y\"\\"};
    std::wstring commandLine = L"\"C:\\system\\Varnix.exe\"";
    for (const auto& argument : arguments)
        commandLine += L" " + quoteArgument(argument);
    const std::vector<std::wstring> split = splitLikeWindows(commandLine);
    ASSERT_EQ(split.size(), arguments.size() + 1);
    for (size_t i = 0; i < arguments.size(); ++i)
        EXPECT_EQ(split[i + 1], arguments[i]) << i;
}

TEST(ModuleDirectory, IsTheExecutablesDirectoryWithoutTrailingSeparator) {
    const std::wstring directory = moduleDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_NE(directory.back(), L'\\');
    EXPECT_TRUE(isExistingDirectory(directory));
}

TEST(LaunchToken, SixtyFourLowerCaseHexDigitsFreshEachTime) {
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        const std::string token = generateLaunchToken();
        ASSERT_EQ(token.size(), 64u);
        EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
        seen.insert(token);
    }
    EXPECT_EQ(seen.size(), 20u);
}

TEST(LaunchApplication, MissingOrDirectoryApplicationLeavesTokenFileAlone) {
    ScratchDirectory root;
    const std::wstring systemDir = root / L"system";
    ASSERT_TRUE(writeWholeFile(systemDir + L"\\launch_guard.token", "earlier"));
    const LaunchResult missing = launchApplication(root.path(), systemDir);
    EXPECT_FALSE(missing.created);
    EXPECT_EQ(missing.win32Error, 2u);
    EXPECT_EQ(missing.exitCode, kStillActive);
    ASSERT_TRUE(ensureDirectory(systemDir + L"\\Varnix.exe"));
    EXPECT_FALSE(launchApplication(root.path(), systemDir).created);
    EXPECT_EQ(readWholeFile(systemDir + L"\\launch_guard.token"), "earlier");
}

TEST(LaunchApplication, FailedCreationRemovesTokenAndVariableAndRestoresSearchPaths) {
    ScratchDirectory root;
    const std::wstring pathBefore = environmentValue(L"PATH");
    const std::wstring systemDir = root / L"system";
    ASSERT_TRUE(writeWholeFile(systemDir + L"\\Varnix.exe", "this is not a program"));
    const LaunchResult result = launchApplication(root.path(), systemDir);
    EXPECT_FALSE(result.created);
    EXPECT_EQ(result.win32Error, static_cast<uint32_t>(ERROR_BAD_EXE_FORMAT));
    EXPECT_EQ(result.exitCode, kStillActive);
    EXPECT_FALSE(isExistingFile(systemDir + L"\\launch_guard.token"));
    EXPECT_EQ(environmentValue(L"VARNIX_LAUNCH_TOKEN"), L"<absent>");
    // PowerShell, started later, must find neither the system directory on PATH nor as the
    // DLL directory.
    EXPECT_EQ(environmentValue(L"PATH"), pathBefore);
    wchar_t dllDirectory[MAX_PATH] = {};
    EXPECT_EQ(GetDllDirectoryW(MAX_PATH, dllDirectory), 0u) << dllDirectory;
}

TEST(LaunchOutcome, OnlyRunningOrCleanExitCounts) {
    EXPECT_TRUE((LaunchResult{true, 0, kStillActive}.succeeded()));
    EXPECT_TRUE((LaunchResult{true, 0, 0}.succeeded()));
    EXPECT_FALSE((LaunchResult{true, 0, 85}.succeeded()));
    EXPECT_FALSE((LaunchResult{false, 2, 0}.succeeded()));
}

// The name launchers of the previous release hold alone: it must stay exactly as it was, or an
// old and a new launcher of one root would not exclude each other.
TEST(LauncherMutexName, SpellingNameIsOnePerRootWhateverTheLetterCaseAndHasNoBackslash) {
    const std::wstring name = spellingMutexName(L"C:\\Games\\Varnix Ёлка");
    EXPECT_EQ(name, spellingMutexName(L"c:\\GAMES\\varnix ёЛКА"));
    EXPECT_NE(name, spellingMutexName(L"C:\\Games\\Varnix2"));
    const std::wstring prefix = L"Local\\VarnixLauncher-";
    ASSERT_EQ(name.rfind(prefix, 0), 0u);
    const std::wstring digest = name.substr(prefix.size());
    EXPECT_EQ(digest.size(), 64u);
    EXPECT_EQ(digest.find_first_not_of(L"0123456789abcdef"), std::wstring::npos);
}

// Every spelling of one root shares the first name; the second is the spelling's own.
TEST(LauncherMutexName, EverySpellingOfOneRootSharesTheIdentityName) {
    ScratchDirectory scratch;
    const std::wstring root = scratch / L"Корень Varnix";
    ASSERT_TRUE(ensureDirectory(root));
    const std::vector<std::wstring> names = launcherMutexNames(root);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[1], spellingMutexName(root));
    EXPECT_EQ(names[0].rfind(L"Local\\VarnixLauncher-", 0), 0u);
    EXPECT_NE(names[0], names[1]);
    const struct {
        const char* name;
        std::wstring spelling;
    } spellings[] = {
        {"upper case", toUpperCase(root)},
        {"trailing separator", root + L"\\"},
        {"short name", shortSpelling(root)},
        {"Unix root drive", wineUnixRootSpelling(root)},
    };
    for (const auto& row : spellings) {
        SCOPED_TRACE(row.name);
        if (row.spelling.empty()) continue;  // not on this system
        EXPECT_EQ(launcherMutexNames(row.spelling).front(), names[0]) << row.spelling;
    }
    const std::wstring other = scratch / L"other";
    ASSERT_TRUE(ensureDirectory(other));
    EXPECT_NE(launcherMutexNames(other).front(), names[0]);
}

TEST(LauncherMutexName, RootWithoutIdentityFallsBackToTheSpellingName) {
    ScratchDirectory scratch;
    const std::wstring missing = scratch / L"missing";
    EXPECT_EQ(launcherMutexNames(missing), std::vector<std::wstring>{spellingMutexName(missing)});
}
