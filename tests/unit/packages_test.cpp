#include <windows.h>

#include <gtest/gtest.h>

#include "packages/backup.h"
#include "packages/powershell_quoting.h"
#include "packages/rollback.h"
#include "packages/store.h"
#include "platform/fs.h"
#include "platform/handle.h"
#include "test_directory.h"

using namespace varnix;
using varnix_test::ScratchDirectory;

namespace {

const std::string kHash = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

PackageEntry entry(std::vector<std::string> files) {
    PackageEntry e;
    e.name = "lib";
    e.archive = "lib.zip";
    e.sha256 = kHash;
    e.required = true;
    e.files = std::move(files);
    return e;
}

class PackageStoreTest : public ::testing::Test {
  protected:
    std::wstring root() const { return scratch.path(); }
    std::wstring system() const { return scratch / L"system"; }
    std::wstring markerPath() const { return system() + L"\\.packages\\lib.sha256"; }
    void put(const std::wstring& relative, const std::string& content) {
        ASSERT_TRUE(writeWholeFile(system() + L"\\" + relative, content));
    }
    // What Expand-Archive -Force does with a file that exists: removes it, then writes the entry
    // as a new file. A backup may share the old file through a hard link, so never write in place.
    void extract(const std::wstring& relative, const std::string& content) {
        forceDeleteFile(system() + L"\\" + relative);
        put(relative, content);
    }
    std::string get(const std::wstring& relative) {
        return readWholeFile(system() + L"\\" + relative);
    }
    PackagePaths paths(const PackageEntry& e) const { return packagePaths(root(), system(), e); }
    bool installed(const PackageEntry& e) const { return isPackageInstalled(paths(e), e.sha256); }

    ScratchDirectory scratch;
};

}  // namespace

TEST(PowerShellLiteral, DoublesEachOfTheFiveSingleQuotesAndNothingElse) {
    EXPECT_EQ(quotePowerShellLiteral(L"C:\\Users\\O'Neil\\x.zip"), L"'C:\\Users\\O''Neil\\x.zip'");
    EXPECT_EQ(quotePowerShellLiteral(L"a''b"), L"'a''''b'");
    EXPECT_EQ(quotePowerShellLiteral(L""), L"''");
    EXPECT_EQ(quotePowerShellLiteral(L"$x `y \"z\" \u201Cq\u201D \u2013"),
              L"'$x `y \"z\" \u201Cq\u201D \u2013'");
    for (const std::wstring q : {L"\u2018", L"\u2019", L"\u201A", L"\u201B"}) {
        EXPECT_EQ(quotePowerShellLiteral(L"Bob" + q + L"s" + q + L"'"),
                  L"'Bob" + q + q + L"s" + q + q + L"'''");
    }
}

TEST(PowerShellLiteral, CommandLineHasTheFixedPieces) {
    const std::wstring line =
        expandArchiveCommandLine(L"C:\\L\\_download\\core.zip", L"C:\\L\\system");
    EXPECT_EQ(line,
              L"powershell.exe -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command "
              L"\"Expand-Archive -LiteralPath 'C:\\L\\_download\\core.zip' -DestinationPath "
              L"'C:\\L\\system' -Force\"");
    EXPECT_EQ(line.find(L"'"), 104u);
}

// The destination used to be copied unchanged like the archive path; Expand-Archive reads it as
// a wildcard pattern, where "[RU]" names another directory, so it now carries the escapes.
TEST(PowerShellLiteral, DestinationIsEscapedAsAPatternAndTheArchiveIsNot) {
    struct Row {
        const wchar_t* destination;
        const wchar_t* quoted;
    };
    for (const Row& row : std::initializer_list<Row>{
             {L"C:\\Games\\Varnix [RU]\\system", L"'C:\\Games\\Varnix `[RU`]\\system'"},
             {L"C:\\a`b\\system", L"'C:\\a``b\\system'"},
             {L"C:\\a]\\[[b\\system", L"'C:\\a`]\\`[`[b\\system'"},
             {L"C:\\O'Neil [1]", L"'C:\\O''Neil `[1`]'"},
             {L"C:\\$x *?", L"'C:\\$x *?'"},
         }) {
        EXPECT_EQ(expandArchiveCommandLine(L"C:\\[a]`\\x.zip", row.destination),
                  std::wstring(L"powershell.exe -NoProfile -NonInteractive -ExecutionPolicy Bypass "
                               L"-Command \"Expand-Archive -LiteralPath 'C:\\[a]`\\x.zip' "
                               L"-DestinationPath ") +
                      row.quoted + L" -Force\"")
            << row.destination;
    }
}

TEST_F(PackageStoreTest, PathsFollowTheJoinRule) {
    const PackagePaths p = packagePaths(L"C:\\R", L"C:\\R\\system\\", entry({"bin/x/app.dll", ""}));
    EXPECT_EQ(p.name, L"lib");
    EXPECT_EQ(p.marker, L"C:\\R\\system\\.packages\\lib.sha256");
    EXPECT_EQ(p.rollbackDir, L"C:\\R\\_rollback\\lib");
    EXPECT_EQ(p.archivePath, L"C:\\R\\_download\\lib.zip");
    ASSERT_EQ(p.listed.size(), 1u);  // empty items are no files
    EXPECT_EQ(p.listed[0].spelled, "bin/x/app.dll");
    EXPECT_EQ(p.inSystem(p.listed[0]), L"C:\\R\\system\\bin\\x\\app.dll");
    EXPECT_EQ(p.inBackup(p.listed[0]), L"C:\\R\\_rollback\\lib\\bin\\x\\app.dll");
}

TEST_F(PackageStoreTest, MarkerToleratesTrailingSpaceAndCaseOnly) {
    put(L"bin\\app.dll", "x");
    const PackageEntry e = entry({"bin/app.dll", ""});
    EXPECT_FALSE(installed(e));  // no marker
    for (const std::string& good : {kHash, kHash + "\r\n", " \t" + kHash + " \t",
                                    std::string("0123456789ABCDEF") + kHash.substr(16)}) {
        ASSERT_TRUE(writeWholeFile(markerPath(), good));
        EXPECT_TRUE(installed(e)) << good;
    }
    for (const std::string& bad :
         {"\r\n" + kHash, "\xEF\xBB\xBF" + kHash, kHash + kHash, std::string()}) {
        ASSERT_TRUE(writeWholeFile(markerPath(), bad));
        EXPECT_FALSE(installed(e)) << bad;
    }
}

TEST_F(PackageStoreTest, EveryListedFileMustExistAsAFile) {
    ASSERT_TRUE(writeWholeFile(markerPath(), kHash));
    EXPECT_TRUE(installed(entry({})));
    EXPECT_TRUE(installed(entry({"", ""})));
    EXPECT_FALSE(installed(entry({"bin/app.dll"})));
    ASSERT_TRUE(ensureDirectory(system() + L"\\bin\\app.dll"));
    EXPECT_FALSE(installed(entry({"bin/app.dll"})));
}

TEST_F(PackageStoreTest, BackupSavesExistingFilesListsMissingOnesAndMarker) {
    put(L"lib\\x\\y.dll", "old y");
    const PackageEntry e = entry({"lib/x/y.dll", "", "new.dll", "lib\\z.dll"});
    std::wstring error = L"untouched";
    ASSERT_TRUE(backupPackage(paths(e), error));
    EXPECT_EQ(error, L"untouched");
    const std::wstring dir = root() + L"\\_rollback\\lib";
    EXPECT_EQ(readWholeFile(dir + L"\\lib\\x\\y.dll"), "old y");
    EXPECT_EQ(readWholeFile(dir + L"\\_missing_files.txt"), "new.dll\nlib\\z.dll\n");
    EXPECT_EQ(readWholeFile(dir + L"\\.package_marker.missing"), "1");
    EXPECT_FALSE(isExistingFile(dir + L"\\.package_marker.sha256"));
}

TEST_F(PackageStoreTest, RestorePutsBackCopiesDeletesAddedFilesAndMarker) {
    put(L"lib\\x\\y.dll", "old y");
    put(L"unreached.dll", "old u");  // its backup is a second link to it
    ASSERT_TRUE(writeWholeFile(markerPath(), "old marker"));
    const PackageEntry e = entry({"lib/x/y.dll", "new.dll", "unreached.dll"});
    std::wstring error;
    ASSERT_TRUE(backupPackage(paths(e), error));
    // What an extraction does: overwrite, add, protect, remove directories.
    ASSERT_TRUE(deleteDirectoryTree(system() + L"\\lib"));
    put(L"new.dll", "added");
    SetFileAttributesW((system() + L"\\new.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    put(L"unlisted.dll", "stays");
    ASSERT_TRUE(writeWholeFile(markerPath(), kHash));

    EXPECT_TRUE(restorePackage(paths(e)));
    EXPECT_EQ(get(L"lib\\x\\y.dll"), "old y");
    EXPECT_EQ(get(L"unreached.dll"), "old u");  // an extraction cut short never replaced it
    EXPECT_FALSE(isExistingFile(system() + L"\\new.dll"));
    EXPECT_EQ(get(L"unlisted.dll"), "stays");
    EXPECT_EQ(readWholeFile(markerPath()), "old marker");
    EXPECT_FALSE(isExistingDirectory(root() + L"\\_rollback\\lib"));
    EXPECT_TRUE(isExistingDirectory(root() + L"\\_rollback"));
    EXPECT_TRUE(restorePackage(paths(e)));  // second time: nothing to do
}

TEST_F(PackageStoreTest, RestoreWithoutSavedMarkerRemovesTheMarker) {
    const PackageEntry e = entry({"a.dll"});
    std::wstring error;
    ASSERT_TRUE(backupPackage(paths(e), error));
    put(L"a.dll", "added");
    ASSERT_TRUE(writeWholeFile(markerPath(), kHash));
    restorePackage(paths(e));
    EXPECT_FALSE(isExistingFile(markerPath()));
    EXPECT_FALSE(isExistingFile(system() + L"\\a.dll"));
}

TEST_F(PackageStoreTest, BackupFailsWhenAListedFileCannotBeRead) {
    put(L"held.dll", "x");
    HANDLE held = CreateFileW((system() + L"\\held.dll").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::wstring error;
    EXPECT_FALSE(backupPackage(paths(entry({"held.dll"})), error));
    CloseHandle(held);
    EXPECT_EQ(error.rfind(L"Не удалось создать резервную копию файла:\n" + system() +
                              L"\\held.dll\n\nОшибка: ",
                          0),
              0u)
        << error;
    EXPECT_FALSE(isExistingDirectory(root() + L"\\_rollback\\lib"));
}

TEST_F(PackageStoreTest, TransactionRestoresNewestFirst) {
    put(L"shared.dll", "before both");
    PackageEntry first = entry({"shared.dll"});
    PackageEntry second = entry({"shared.dll"});
    second.name = "second";
    std::wstring error;
    ASSERT_TRUE(backupPackage(paths(first), error));
    extract(L"shared.dll", "after first");
    ASSERT_TRUE(backupPackage(paths(second), error));
    extract(L"shared.dll", "after second");
    rollBackTransaction(root(), system(), {first, second});
    EXPECT_EQ(get(L"shared.dll"), "before both");
    removeRollbackData(root(), system());
    EXPECT_FALSE(isExistingDirectory(root() + L"\\_rollback"));
}

// A backup found in place when the package is backed up again: kept only while it is complete
// and still the state to go back to; otherwise replaced by a backup of the files as they are.
struct LeftoverCase {
    const char* why;
    bool complete;       // ".backup_complete" is there
    bool madeThisRun;    // ... and holds this run's identity
    bool markerPresent;  // the earlier installation finished
    bool kept;
    bool pending = false;  // a restore of it was left pending
};

class LeftoverBackup : public PackageStoreTest,
                       public ::testing::WithParamInterface<LeftoverCase> {};

TEST_P(LeftoverBackup, IsKeptOnlyWhileCompleteAndStillTheStateToReturnTo) {
    const LeftoverCase& c = GetParam();
    const PackageEntry e = entry({"a.dll"});
    const std::wstring dir = root() + L"\\_rollback\\lib";
    put(L"a.dll", "whole");
    std::wstring error;
    ASSERT_TRUE(backupPackage(paths(e), error));
    if (!c.madeThisRun) {
        ASSERT_TRUE(writeWholeFile(dir + L"\\.backup_complete", "1-2"));
    }
    if (!c.complete) forceDeleteFile(dir + L"\\.backup_complete");
    if (c.pending) {
        ASSERT_TRUE(writeWholeFile(dir + L"\\.restore_pending", "a.dll\n"));
    }
    if (c.markerPresent) {
        ASSERT_TRUE(writeWholeFile(markerPath(), kHash));
    }
    extract(L"a.dll", "half written");

    ASSERT_TRUE(backupPackage(paths(e), error));
    EXPECT_EQ(readWholeFile(dir + L"\\a.dll"), c.kept ? "whole" : "half written");
    EXPECT_TRUE(isExistingFile(dir + L"\\.backup_complete"));
    // The installation completes; the package is installed again in this run: a kept backup is
    // this run's now, and still the one to return to.
    ASSERT_TRUE(writeWholeFile(markerPath(), kHash));
    extract(L"a.dll", "installed");
    ASSERT_TRUE(backupPackage(paths(e), error));
    restorePackage(paths(e));
    EXPECT_EQ(get(L"a.dll"), c.kept ? "whole" : "half written");
}

INSTANTIATE_TEST_SUITE_P(
    Backups, LeftoverBackup,
    ::testing::Values(LeftoverCase{"second_install_this_run", true, true, true, true},
                      LeftoverCase{"unfinished_earlier_install", true, false, false, true},
                      LeftoverCase{"finished_earlier_install", true, false, true, false},
                      LeftoverCase{"incomplete_unfinished", false, false, false, false},
                      LeftoverCase{"incomplete_this_run", false, true, false, false},
                      LeftoverCase{"pending_restore", true, false, false, true, true},
                      LeftoverCase{"stale_pending_record", true, false, true, false, true}),
    [](const auto& info) { return std::string(info.param.why); });

TEST_F(PackageStoreTest, TransactionHoldsEachPackageOnceAndReturnsToTheRunsStart) {
    put(L"shared.dll", "before the run");
    const PackageEntry e = entry({"shared.dll"});
    RollbackTransaction transaction;
    std::wstring error;
    for (const char* version : {"first install", "second install"}) {
        ASSERT_TRUE(backupPackage(paths(e), error));
        extract(L"shared.dll", version);
        recordInstalled(transaction, e);
    }
    EXPECT_EQ(transaction.size(), 1u);
    rollBackTransaction(root(), system(), transaction);
    EXPECT_EQ(get(L"shared.dll"), "before the run");
}

// A listed file without a copy in the backup goes only when the backup's list of missing files
// names it, compared as the file system compares names; a backup kept for an earlier file list
// never saw the others, and they were there before.
struct MissingCase {
    const char* why;
    const char* backedUp;  // the item as the backup's file list spelt it (the file missing then)
    const char* restored;  // the item as the restore's file list spells it (the file there now)
    bool deleted;
};

class MissingFiles : public PackageStoreTest, public ::testing::WithParamInterface<MissingCase> {};

TEST_P(MissingFiles, OnlyThoseTheBackupFoundMissingAreDeleted) {
    const MissingCase& c = GetParam();
    std::wstring error;
    ASSERT_TRUE(backupPackage(paths(entry({c.backedUp})), error));
    const PackageEntry restored = entry({c.restored});
    const std::wstring target = paths(restored).inSystem(paths(restored).listed[0]);
    ASSERT_TRUE(writeWholeFile(target, "there"));
    EXPECT_TRUE(restorePackage(paths(restored)));
    EXPECT_EQ(isExistingFile(target), !c.deleted);
}

INSTANTIATE_TEST_SUITE_P(
    Restores, MissingFiles,
    ::testing::Values(MissingCase{"same_spelling", "lib/new.dll", "lib/new.dll", true},
                      MissingCase{"other_case", "Lib/New.DLL", "lib/new.dll", true},
                      MissingCase{"other_separators", "lib\\x\\new.dll", "lib/x/new.dll", true},
                      MissingCase{"not_in_the_earlier_list", "lib/other.dll", "lib/new.dll", false},
                      MissingCase{"only_a_prefix", "lib/new", "lib/new.dll", false}),
    [](const auto& info) { return std::string(info.param.why); });

TEST_F(PackageStoreTest, BackupFailsWhenItsListOfMissingFilesCannotBeWritten) {
    // A directory of the copies stands where the list belongs (the parser refuses such items).
    put(L"_missing_files.txt\\x.dll", "x");
    std::wstring error;
    EXPECT_FALSE(backupPackage(paths(entry({"_missing_files.txt/x.dll", "gone.dll"})), error));
    const std::wstring dir = root() + L"\\_rollback\\lib";
    EXPECT_EQ(error.rfind(L"Не удалось создать резервную копию файла:\n" + dir +
                              L"\\_missing_files.txt\n\nОшибка: ",
                          0),
              0u)
        << error;
    EXPECT_FALSE(isExistingDirectory(dir));
}

// A restore that cannot put a file back keeps the whole backup and leaves the marker absent,
// until a restore finishes; nothing else removes or replaces that backup.
TEST_F(PackageStoreTest, RestoreThatCannotPutAFileBackStaysPendingUntilItFinishes) {
    put(L"a.dll", "old a");
    put(L"b.dll", "old b");
    ASSERT_TRUE(writeWholeFile(markerPath(), "old marker"));
    const PackageEntry e = entry({"a.dll", "b.dll", "new.dll"});
    const std::wstring dir = root() + L"\\_rollback\\lib";
    std::wstring error;
    ASSERT_TRUE(backupPackage(paths(e), error));
    forceDeleteFile(markerPath());
    extract(L"a.dll", "new a");
    extract(L"b.dll", "new b");
    put(L"new.dll", "added");
    const auto hold = [&] {
        return FileHandle(CreateFileW((system() + L"\\a.dll").c_str(), GENERIC_READ,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    };
    {
        const FileHandle held = hold();
        ASSERT_TRUE(held.valid());
        EXPECT_FALSE(restorePackage(paths(e)));
        EXPECT_EQ(get(L"b.dll"), "old b");  // the others are put back all the same
        EXPECT_FALSE(isExistingFile(system() + L"\\new.dll"));
        EXPECT_FALSE(isExistingFile(markerPath()));
        EXPECT_EQ(readWholeFile(dir + L"\\.restore_pending"), "a.dll\nb.dll\nnew.dll\n");
        EXPECT_EQ(readWholeFile(dir + L"\\a.dll"), "old a");

        finishPendingRestores(root(), system());  // still held
        removeRollbackData(root(), system());
        ASSERT_TRUE(backupPackage(paths(entry({"a.dll"})), error));  // an installation again
        EXPECT_EQ(readWholeFile(dir + L"\\a.dll"), "old a");
        EXPECT_TRUE(isExistingFile(dir + L"\\.restore_pending"));
        EXPECT_FALSE(isExistingFile(markerPath()));
    }
    finishPendingRestores(root(), system());
    EXPECT_EQ(get(L"a.dll"), "old a");
    EXPECT_EQ(get(L"b.dll"), "old b");
    EXPECT_EQ(readWholeFile(markerPath()), "old marker");
    EXPECT_FALSE(isExistingDirectory(dir));
}

TEST_F(PackageStoreTest, PendingRestoreNeverUndoesAnInstallationCompletedAfterIt) {
    put(L"a.dll", "old a");
    const PackageEntry e = entry({"a.dll"});
    const std::wstring dir = root() + L"\\_rollback\\lib";
    std::wstring error;
    ASSERT_TRUE(backupPackage(paths(e), error));
    ASSERT_TRUE(writeWholeFile(dir + L"\\.restore_pending", "a.dll\n"));
    extract(L"a.dll", "installed");
    ASSERT_TRUE(writeWholeFile(markerPath(), kHash));  // the installation completed
    finishPendingRestores(root(), system());
    EXPECT_EQ(get(L"a.dll"), "installed");
    EXPECT_EQ(readWholeFile(markerPath()), kHash);
    EXPECT_FALSE(isExistingFile(dir + L"\\.restore_pending"));
    removeRollbackData(root(), system());  // an ordinary backup again
    EXPECT_FALSE(isExistingDirectory(dir));
}

// A complete backup an earlier run left, as the next start finds it and as a good start leaves
// it: a whole record of a pending restore finishes it; a record an interrupted write cut short
// restores nothing and never brings the marker back, at the next start or in a later restore of a
// shorter list; a backup beside an absent marker (an installation cut short) outlives a good
// start, since the files on disk may be a mixture.
struct LeftBehindCase {
    const char* why;
    const char* record;  // ".restore_pending", or none
    bool markerPresent;  // an installation finished after the backup
    bool restored;
    bool kept;
};

class LeftBehindBackup : public PackageStoreTest,
                         public ::testing::WithParamInterface<LeftBehindCase> {};

TEST_P(LeftBehindBackup, IsRestoredFromAWholeRecordOnlyAndKeptWhileTheMarkerIsAbsent) {
    const LeftBehindCase& c = GetParam();
    const std::wstring dir = root() + L"\\_rollback\\lib";
    put(L"a.dll", "whole");
    put(L"c.dll", "whole");
    ASSERT_TRUE(writeWholeFile(markerPath(), "old marker"));
    std::wstring error;
    ASSERT_TRUE(backupPackage(paths(entry({"a.dll", "c.dll"})), error));
    ASSERT_TRUE(writeWholeFile(dir + L"\\.backup_complete", "1-2"));
    forceDeleteFile(markerPath());
    extract(L"a.dll", "half written");
    extract(L"c.dll", "half written");
    if (c.markerPresent) {
        ASSERT_TRUE(writeWholeFile(markerPath(), kHash));
    }
    if (c.record) {
        ASSERT_TRUE(writeWholeFile(dir + L"\\.restore_pending", c.record));
    }

    finishPendingRestores(root(), system());
    const char* files = c.restored ? "whole" : "half written";
    EXPECT_EQ(get(L"a.dll") + "/" + get(L"c.dll"), std::string(files) + "/" + files);
    EXPECT_EQ(readWholeFile(markerPath()),
              c.restored ? "old marker" : (c.markerPresent ? kHash : ""));
    removeRollbackData(root(), system());
    EXPECT_EQ(isExistingFile(dir + L"\\a.dll"), c.kept);
    if (c.record && c.kept) {
        // The package installed again with a list without c.dll, and that installation failed.
        EXPECT_FALSE(restorePackage(paths(entry({"a.dll"}))));
        EXPECT_FALSE(isExistingFile(markerPath()));
        EXPECT_EQ(readWholeFile(dir + L"\\.restore_pending"), c.record);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Starts, LeftBehindBackup,
    ::testing::Values(LeftBehindCase{"whole_record", "a.dll\nc.dll\n", false, true, false},
                      LeftBehindCase{"empty_record", "", false, false, true},
                      LeftBehindCase{"record_cut_off", "a.dll\nc.d", false, false, true},
                      LeftBehindCase{"installation_cut_short", nullptr, false, false, true},
                      LeftBehindCase{"installation_finished", nullptr, true, false, false}),
    [](const auto& info) { return std::string(info.param.why); });
