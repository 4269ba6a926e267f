#include <windows.h>

#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "platform/handle.h"
#include "platform/job.h"
#include "platform/named_mutex.h"
#include "platform/text.h"
#include "platform/text_conversion.h"
#include "test_directory.h"

using namespace varnix;
using varnix_test::ScratchDirectory;

TEST(TextConversion, RoundTripsCyrillicAndKeepsByteOrderMark) {
    const std::string bytes = "\xD0\x9F\xD0\xB0\xD0\xBA\xD0\xB5\xD1\x82: ";  // "Пакет: "
    const std::wstring text = utf8ToWide(bytes);
    EXPECT_EQ(text, L"Пакет: ");
    EXPECT_EQ(text.size(), 7u);
    EXPECT_EQ(wideToUtf8(text), bytes);
    EXPECT_EQ(utf8ToWide("\xEF\xBB\xBFx"), L"\xFEFFx");
    EXPECT_EQ(utf8ToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
    EXPECT_EQ(utf8ToWide(""), L"");
    EXPECT_EQ(wideToUtf8(L""), "");
}

// Listed items compare as Windows compares file names: one file whatever the case of Latin or
// Cyrillic letters and whichever separator.
TEST(CompareFileNames, OneFileWhateverTheCaseAndTheSeparator) {
    const struct {
        const char* first;
        const char* second;
        bool sameFile;
    } rows[] = {
        {"lib/a.dll", "LIB/A.DLL", true},
        {"lib/a.dll", "lib\\a.dll", true},
        {"\xD0\x81\xD0\xBB\xD0\xBA\xD0\xB0/\xD1\x8F.dll",
         "\xD1\x91\xD0\x9B\xD0\x9A\xD0\x90\\\xD0\xAF.DLL", true},  // Ёлка/я, ёЛКА\Я
        {"lib/a.dll", "lib/b.dll", false},
        {"lib/a.dll", "lib/a.dl", false},
        {"lib/a.dll", "lib.a.dll", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.first) + " / " + row.second);
        EXPECT_EQ(compareFileNames(row.first, row.second) == 0, row.sameFile);
        EXPECT_EQ(compareFileNames(row.first, row.second),
                  -compareFileNames(row.second, row.first));
    }
}

TEST(Win32ErrorText, SystemMessageKeepsLineBreakUnknownCodeIsNumbered) {
    const std::wstring text = win32ErrorText(ERROR_FILE_NOT_FOUND);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
    EXPECT_EQ(win32ErrorText(0xDEADBEEF), L"Код ошибки: 3735928559");
}

TEST(Handles, ResettingToTheHeldValueKeepsItOpenClosingKeepsTheLastError) {
    FileHandle file(CreateFileW(L"NUL", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file.valid());
    file.reset(file.get());
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(file.get(), &flags));
    SetLastError(1234);
    file.reset();
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_FALSE(file.valid());
}

TEST(EnsureDirectory, CreatesMissingParentsAndAcceptsExisting) {
    ScratchDirectory scratch;
    const std::wstring deep = scratch / L"a\\b\\c";
    EXPECT_TRUE(ensureDirectory(deep));
    EXPECT_TRUE(isExistingDirectory(deep));
    EXPECT_TRUE(ensureDirectory(deep));
    EXPECT_TRUE(ensureDirectory(scratch / L"a\\b\\"));
    EXPECT_FALSE(ensureDirectory(L""));
}

TEST(DeleteDirectoryTree, RemovesReadOnlyFilesAndToleratesMissingOrPlainFiles) {
    ScratchDirectory scratch;
    const std::wstring tree = scratch / L"tree";
    ASSERT_TRUE(writeWholeFile(tree + L"\\sub\\ro.txt", "x"));
    SetFileAttributesW((tree + L"\\sub\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(deleteDirectoryTree(tree));
    EXPECT_FALSE(isExistingDirectory(tree));
    EXPECT_TRUE(deleteDirectoryTree(scratch / L"missing"));
    ASSERT_TRUE(writeWholeFile(scratch / L"plain", "keep"));
    EXPECT_TRUE(deleteDirectoryTree(scratch / L"plain"));
    EXPECT_TRUE(isExistingFile(scratch / L"plain"));
}

TEST(DeleteDirectoryTree, FileHeldOpenKeepsItsDirectories) {
    ScratchDirectory scratch;
    const std::wstring tree = scratch / L"tree";
    ASSERT_TRUE(writeWholeFile(tree + L"\\held\\file.bin", "data"));
    ASSERT_TRUE(writeWholeFile(tree + L"\\free.bin", "data"));
    {
        FileHandle held(CreateFileW((tree + L"\\held\\file.bin").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.valid());
        EXPECT_FALSE(deleteDirectoryTree(tree));
        EXPECT_TRUE(isExistingFile(tree + L"\\held\\file.bin"));
        EXPECT_FALSE(isExistingFile(tree + L"\\free.bin"));
    }
    EXPECT_TRUE(deleteDirectoryTree(tree));
}

TEST(DeleteDirectoryTree, NeverFollowsADirectoryLinkOutOfTheTree) {
    ScratchDirectory scratch;
    const std::wstring outside = scratch / L"outside";
    ASSERT_TRUE(writeWholeFile(outside + L"\\precious.txt", "keep me"));
    const std::wstring tree = scratch / L"tree";
    ASSERT_TRUE(ensureDirectory(tree));
    const std::wstring link = tree + L"\\link";
    if (!CreateSymbolicLinkW(link.c_str(), outside.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY)) {
        GTEST_SKIP() << "directory links unavailable: " << GetLastError();
    }
    EXPECT_TRUE(deleteDirectoryTree(tree));
    EXPECT_FALSE(isExistingDirectory(tree));
    EXPECT_EQ(readWholeFile(outside + L"\\precious.txt"), "keep me");
}

TEST(WholeFiles, WriteCreatesParentsReadGivesEveryByte) {
    ScratchDirectory scratch;
    const std::wstring path = scratch / L"x\\y\\data.bin";
    std::string content(10000, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7);
    ASSERT_TRUE(writeWholeFile(path, content));
    EXPECT_EQ(readWholeFile(path), content);

    ASSERT_TRUE(writeWholeFile(path, ""));
    EXPECT_TRUE(isExistingFile(path));
    EXPECT_EQ(readWholeFile(path), "");
    EXPECT_EQ(readWholeFile(scratch / L"missing.bin"), "");
}

TEST(WholeFiles, WriteFailsWhileAnotherHandleHoldsTheFile) {
    ScratchDirectory scratch;
    const std::wstring path = scratch / L"held.bin";
    ASSERT_TRUE(writeWholeFile(path, "old"));
    FileHandle held(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    EXPECT_FALSE(writeWholeFile(path, "new"));
}

TEST(WholeFiles, DurableReplaceTakesAReadOnlyHiddenTargetAndLeavesNoTemporary) {
    ScratchDirectory scratch;
    const std::wstring path = scratch / L"marker.sha256";
    ASSERT_TRUE(writeWholeFile(path, "old"));
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(flushFile(path));
    EXPECT_TRUE(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(replaceFileDurably(path, "new"));
    EXPECT_EQ(readWholeFile(path), "new");
    EXPECT_FALSE(isExistingFile(path + L".tmp"));
}

TEST(WorkDirectories, ALinkIsRemovedOrRefusedNeverFollowed) {
    ScratchDirectory scratch;
    const std::wstring outside = scratch / L"outside";
    ASSERT_TRUE(writeWholeFile(outside + L"\\precious.txt", "keep me"));
    const std::wstring link = scratch / L"_download";
    if (!CreateSymbolicLinkW(link.c_str(), outside.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY)) {
        GTEST_SKIP() << "directory links unavailable: " << GetLastError();
    }
    // Either the link went and a real directory took its place, or the directory is refused.
    const bool ready = ensureRealDirectory(link);
    EXPECT_EQ(ready, isRealDirectory(link));
    EXPECT_EQ(readWholeFile(outside + L"\\precious.txt"), "keep me");
    EXPECT_TRUE(ensureRealDirectory(scratch / L"plain\\dir"));
}

// The launcher's root lock: a second holder waits; one whose owner died without releasing it
// gets it at once.
TEST(NamedMutexLock, SecondWaitsAndAnAbandonedMutexIsAcquiredAtOnce) {
    for (const bool abandon : {false, true}) {
        SCOPED_TRACE(abandon ? "abandoned" : "released");
        const std::wstring name = L"Local\\VarnixUnitLock-" +
                                  std::to_wstring(GetCurrentProcessId()) + (abandon ? L"a" : L"r");
        KernelHandle ready(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        KernelHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::thread owner([&] {
            KernelHandle mutex(CreateMutexW(nullptr, FALSE, name.c_str()));
            WaitForSingleObject(mutex.get(), INFINITE);
            SetEvent(ready.get());
            WaitForSingleObject(go.get(), INFINITE);
            if (!abandon) ReleaseMutex(mutex.get());
        });
        WaitForSingleObject(ready.get(), INFINITE);
        NamedMutexLock lock(name);
        EXPECT_FALSE(lock.tryAcquire());
        SetEvent(go.get());
        owner.join();
        EXPECT_TRUE(lock.tryAcquire());
        bool other = true;
        std::thread([&] { other = NamedMutexLock(name).tryAcquire(); }).join();
        EXPECT_FALSE(other);
    }
}

// Several names: a holder of any one of them keeps the group out until the deadline, and a group
// that gave up holds none of the names it got meanwhile past its own life.
TEST(NamedMutexLocks, OneHeldNameKeepsTheGroupOutUntilTheDeadline) {
    const std::wstring prefix = L"Local\\VarnixUnitLocks-" + std::to_wstring(GetCurrentProcessId());
    for (const int held : {0, 1}) {
        SCOPED_TRACE(held);
        const std::vector<std::wstring> names = {prefix + L"a", prefix + L"b"};
        NamedMutexLock other(names[held]);
        ASSERT_TRUE(other.tryAcquire());
        bool gotIt = true;
        ULONGLONG waited = 0;
        std::thread([&] {
            NamedMutexLocks group(names);
            EXPECT_FALSE(group.tryAcquire());
            const ULONGLONG start = GetTickCount64();
            gotIt = group.acquireWithin(300);
            waited = GetTickCount64() - start;
        }).join();
        EXPECT_FALSE(gotIt);
        EXPECT_GE(waited, 250u);
        bool free = false;
        std::thread([&] { free = NamedMutexLocks({names[1 - held]}).tryAcquire(); }).join();
        EXPECT_TRUE(free);
    }
}

// The child half of the next test: sleeps only when that test starts it.
TEST(KillOnCloseJob, ChildSleeps) {
    if (GetEnvironmentVariableW(L"VARNIX_TEST_CHILD_SLEEP", nullptr, 0) == 0) GTEST_SKIP();
    Sleep(60000);
}

TEST(KillOnCloseJob, ClosingTheJobEndsTheChild) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine =
        L"\"" + std::wstring(self) + L"\" --gtest_filter=KillOnCloseJob.ChildSleeps";
    SetEnvironmentVariableW(L"VARNIX_TEST_CHILD_SLEEP", L"1");
    std::optional<KillOnCloseJob> job(std::in_place);
    PROCESS_INFORMATION info{};
    const bool created = job->createProcess(L"", commandLine, L"", CREATE_NO_WINDOW, info);
    SetEnvironmentVariableW(L"VARNIX_TEST_CHILD_SLEEP", nullptr);
    ASSERT_TRUE(created);
    ProcessHandles child(info);
    EXPECT_EQ(WaitForSingleObject(child.process(), 300), static_cast<DWORD>(WAIT_TIMEOUT));
    job.reset();
    EXPECT_EQ(WaitForSingleObject(child.process(), 10000), WAIT_OBJECT_0);
    TerminateProcess(child.process(), 1);
}
