// The integration header's Windows half and the launcher's side of "restart to update".
#include <windows.h>

#include <optional>

#include <gtest/gtest.h>

#include "deps/handling.h"
#include "launch/restart_wait.h"
#include "platform/fs.h"
#include "test_directory.h"
#include "varnix/app.h"

using namespace varnix;
using varnix_test::ScratchDirectory;

TEST(WriteDependencyRequest, ReplacesAnEarlierRequestThroughARenameTheLauncherReads) {
    ScratchDirectory system;
    const std::wstring path = system / contract::kRequestFileName;
    ASSERT_TRUE(writeWholeFile(path, "package=stale\n"));
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);  // Wine replaces it anyway

    EXPECT_EQ(app::writeDependencyRequestIn(system.path(), {"voice", "video"}, "R", {"m"}),
              VARNIX_REQUEST_WRITTEN);
    DependencyRequest request;
    ASSERT_TRUE(parseDependencyRequest(system.path(), request));
    EXPECT_EQ(request.packages, (std::vector<std::string>{"video", "voice"}));
    EXPECT_EQ(request.reason, "R");
    EXPECT_FALSE(isExistingFile(path + L".tmp"));

    EXPECT_EQ(app::writeDependencyRequestIn(system.path(), {"a; b"}, "", {}),
              VARNIX_REQUEST_INVALID_NAME);
    EXPECT_EQ(app::writeDependencyRequestIn(system / L"absent", {"voice"}, "", {}),
              VARNIX_REQUEST_NOT_WRITTEN);
    ASSERT_TRUE(parseDependencyRequest(system.path(), request));
    EXPECT_EQ(request.reason, "R");
}

TEST(StartedByLauncher, VariableMustEqualTheTokenFileBesideTheExecutable) {
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring tokenPath(module);
    tokenPath = tokenPath.substr(0, tokenPath.find_last_of(L"\\/") + 1) + contract::kTokenFileName;
    const std::string token(64, 'a');
    struct Row {
        const wchar_t* variable;  // null: absent
        std::optional<std::string> file;
        bool expected;
    };
    const Row rows[] = {
        {L"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", token, true},
        {nullptr, token, false},
        {L"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", std::nullopt, false},
        {L"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", token, false},
        {L"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", token + "\r\n",
         false},
        {L"", "", false},
    };
    for (const Row& row : rows) {
        SetEnvironmentVariableW(contract::kTokenVariable, row.variable);
        DeleteFileW(tokenPath.c_str());
        if (row.file) {
            ASSERT_TRUE(writeWholeFile(tokenPath, *row.file));
        }
        EXPECT_EQ(app::startedByLauncher(), row.expected) << (row.file ? *row.file : "no file");
    }
    SetEnvironmentVariableW(contract::kTokenVariable, nullptr);
    DeleteFileW(tokenPath.c_str());
}

TEST(RestartWait, WaitsOnlyForANamedProcessAndNeverPassesTheVariableOn) {
    const std::wstring self = std::to_wstring(GetCurrentProcessId());
    struct Row {
        const wchar_t* value;  // null: absent
        RestartWait expected;
    };
    const Row rows[] = {
        {nullptr, RestartWait::NotRequested},
        {L"", RestartWait::NotAProcessId},
        {L"12ab", RestartWait::NotAProcessId},
        {L"-4", RestartWait::NotAProcessId},
        {L"0", RestartWait::NotAProcessId},
        {L"4294967296", RestartWait::NotAProcessId},
        {L"4294967292", RestartWait::AlreadyEnded},
        {self.c_str(), RestartWait::StillRunning},  // this process never ends while it waits
    };
    for (const Row& row : rows) {
        SetEnvironmentVariableW(contract::kRestartVariable, row.value);
        const ULONGLONG started = GetTickCount64();
        EXPECT_EQ(waitForRestartingApplication(200), row.expected)
            << (row.value ? row.value : L"-");
        EXPECT_LT(GetTickCount64() - started, 5000u);
        EXPECT_EQ(GetEnvironmentVariableW(contract::kRestartVariable, nullptr, 0), 0u);
    }
}
