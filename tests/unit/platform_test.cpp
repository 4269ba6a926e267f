#include <windows.h>

#include <algorithm>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "manifest/freshness_check.h"
#include "platform/fs.h"
#include "platform/handle.h"
#include "platform/job.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/text_conversion.h"
#include "test_directory.h"

using namespace varnix;
using varnix_test::HostLinks;
using varnix_test::ScratchDirectory;
using varnix_test::shortSpelling;
using varnix_test::wineUnixRootSpelling;

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

// Links are made by the host (HostLinks): under Wine CreateSymbolicLinkW makes nothing, and a
// test that skips when it fails proves nothing. A link to a non-empty directory cannot be removed
// under Wine, so the tree may stay: what counts is that nothing behind a link goes. (A host link
// to a file shows as that file under Wine, and DeleteFileW removes the file behind it: no test
// of Wine's can tell such a link from a file.)
TEST(DeleteDirectoryTree, NeverFollowsALinkOutOfTheTree) {
    ScratchDirectory scratch;
    const std::wstring outside = scratch / L"outside";
    ASSERT_TRUE(writeWholeFile(outside + L"\\sub\\precious.txt", "keep me"));
    const std::wstring tree = scratch / L"tree";
    ASSERT_TRUE(writeWholeFile(tree + L"\\own.txt", "mine"));
    HostLinks links;
    ASSERT_TRUE(links.make(tree + L"\\directory_link", outside));
    ASSERT_TRUE(links.make(scratch / L"tree_link", outside));
    deleteDirectoryTree(tree);
    EXPECT_FALSE(isExistingFile(tree + L"\\own.txt"));
    // The tree itself a link: the link goes, or stays refused, never what it points to.
    deleteDirectoryTree(scratch / L"tree_link");
    EXPECT_EQ(readWholeFile(outside + L"\\sub\\precious.txt"), "keep me");
}

// Wine cannot make reparse points with any other tag, so the rule is driven with the tags
// themselves: those that stand for another name are links, cloud-sync placeholders,
// deduplicated files and the rest are ordinary entries.
struct ReparseCase {
    const char* what;
    DWORD attributes;
    DWORD tag;
    bool link;
};

class ReparseTag : public ::testing::TestWithParam<ReparseCase> {};

TEST_P(ReparseTag, OnlyNameSurrogatesAndUnreadableTagsAreLinks) {
    const ReparseCase& c = GetParam();
    EXPECT_EQ(isLinkEntry(c.attributes, c.tag), c.link);
}

constexpr DWORD kReparseFile = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE;
constexpr DWORD kReparseDirectory = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;

INSTANTIATE_TEST_SUITE_P(
    Tags, ReparseTag,
    ::testing::Values(
        ReparseCase{"symbolic_link", kReparseFile, IO_REPARSE_TAG_SYMLINK, true},
        ReparseCase{"directory_symbolic_link", kReparseDirectory, IO_REPARSE_TAG_SYMLINK, true},
        ReparseCase{"junction", kReparseDirectory, IO_REPARSE_TAG_MOUNT_POINT, true},
        ReparseCase{"wsl_symbolic_link", kReparseFile, 0xA000001D, true},
        ReparseCase{"host_link_under_wine", kReparseDirectory, 0, true},
        ReparseCase{"cloud_placeholder", kReparseFile, IO_REPARSE_TAG_CLOUD, false},
        ReparseCase{"cloud_placeholder_1", kReparseDirectory, IO_REPARSE_TAG_CLOUD_1, false},
        ReparseCase{"cloud_placeholder_f", kReparseFile, 0x9000F01A, false},
        ReparseCase{"onedrive", kReparseDirectory, IO_REPARSE_TAG_ONEDRIVE, false},
        ReparseCase{"deduplicated", kReparseFile, IO_REPARSE_TAG_DEDUP, false},
        ReparseCase{"compressed_wof", kReparseFile, IO_REPARSE_TAG_WOF, false},
        ReparseCase{"app_execution_alias", kReparseFile, IO_REPARSE_TAG_APPEXECLINK, false},
        ReparseCase{"plain_directory", FILE_ATTRIBUTE_DIRECTORY, 0, false},
        ReparseCase{"plain_file_stale_tag", FILE_ATTRIBUTE_ARCHIVE, IO_REPARSE_TAG_SYMLINK, false}),
    [](const auto& info) { return std::string(info.param.what); });

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

// The launcher's durable writes: a package marker through the helper itself, and the stored
// manifest serial, whose write must be the same one. Windows refuses a rename over a read-only
// file, Wine does not: a second name of the old file shows whether its read-only flag was
// cleared before the new file took its place.
struct DurableWriteCase {
    const char* name;
    const wchar_t* fileName;
    bool (*write)(const std::wstring& directory, const std::wstring& path);
};

bool writeMarker(const std::wstring&, const std::wstring& path) {
    return replaceFileDurably(path, "new");
}

bool storeGrownSerial(const std::wstring& directory, const std::wstring&) {
    WideString errorText;
    return checkManifestFreshness("serial|7\n", directory, "fingerprint", errorText);
}

void PrintTo(const DurableWriteCase& writeCase, std::ostream* out) {
    *out << writeCase.name;
}

class DurableWrites : public testing::TestWithParam<DurableWriteCase> {};

TEST_P(DurableWrites, TakeAReadOnlyHiddenTargetAndLeaveNoTemporary) {
    ScratchDirectory scratch;
    const std::wstring path = scratch / GetParam().fileName;
    const std::wstring oldName = scratch / L"old.name";
    ASSERT_TRUE(writeWholeFile(path, "old"));
    ASSERT_TRUE(createHardLink(path, oldName));
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(flushFile(path));
    ASSERT_TRUE(GetFileAttributesW(oldName.c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(GetParam().write(scratch.path(), path));
    EXPECT_NE(readWholeFile(path), "old");
    EXPECT_EQ(readWholeFile(oldName), "old");
    EXPECT_FALSE(GetFileAttributesW(oldName.c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(isExistingFile(durableWriteTemporary(path)));
}

INSTANTIATE_TEST_SUITE_P(WholeFiles, DurableWrites,
                         testing::Values(DurableWriteCase{"marker", L"lib.sha256", writeMarker},
                                         DurableWriteCase{"stored_serial", L"manifest.serial",
                                                          storeGrownSerial}),
                         [](const testing::TestParamInfo<DurableWriteCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(WorkDirectories, ALinkIsRemovedOrRefusedNeverFollowed) {
    ScratchDirectory scratch;
    const std::wstring outside = scratch / L"outside";
    ASSERT_TRUE(writeWholeFile(outside + L"\\precious.txt", "keep me"));
    const std::wstring link = scratch / L"_download";
    HostLinks links;
    ASSERT_TRUE(links.make(link, outside));
    ASSERT_TRUE(ensureDirectory(scratch / L"real"));
    EXPECT_FALSE(isRealDirectory(link));
    std::vector<std::wstring> real = realSubdirectories(scratch.path());
    std::sort(real.begin(), real.end());
    EXPECT_EQ(real, (std::vector<std::wstring>{L"outside", L"real"}));
    // Either the link went and a real directory took its place, or the directory is refused.
    const bool ready = ensureRealDirectory(link);
    EXPECT_EQ(ready, isRealDirectory(link));
    EXPECT_EQ(ready, removeLink(link));
    EXPECT_EQ(readWholeFile(outside + L"\\precious.txt"), "keep me");
    EXPECT_TRUE(ensureRealDirectory(scratch / L"plain\\dir"));
    EXPECT_TRUE(removeLink(scratch / L"plain\\dir"));  // no link there: nothing to do
    EXPECT_TRUE(isRealDirectory(scratch / L"plain\\dir"));
}

// The launcher's root lock: a second holder waits; one whose owner died without releasing it
// gets it at once.
// This test program is the running process: found through every spelling of its own path, never
// through a copy of the same name elsewhere.
TEST(ProgramRunning, FoundThroughAnySpellingOfItsPathNotThroughACopy) {
    wchar_t own[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, own, MAX_PATH);
    ASSERT_TRUE(length > 0 && length < MAX_PATH);
    const std::wstring image(own, length);
    const size_t separator = image.find_last_of(L'\\');
    const std::wstring directory = image.substr(0, separator);
    const std::wstring name = image.substr(separator + 1);
    ScratchDirectory scratch;
    ASSERT_TRUE(CopyFileW(image.c_str(), (scratch / name).c_str(), FALSE));
    const std::wstring shortDirectory = shortSpelling(directory);
    const struct {
        const char* name;
        std::wstring path;
        bool running;
    } rows[] = {
        {"own path", image, true},
        // Always another text, wherever the test runs from (the others may equal the own path).
        {"dot component", directory + L"\\.\\" + name, true},
        {"short directory", shortDirectory.empty() ? L"" : shortDirectory + L"\\" + name, true},
        {"Unix root drive", wineUnixRootSpelling(image), true},
        {"copy elsewhere", scratch / name, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.path.empty()) continue;  // no such spelling on this system
        EXPECT_EQ(isProgramRunning(row.path), row.running) << wideToUtf8(row.path);
    }
}

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
