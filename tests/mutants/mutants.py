#!/usr/bin/env python3
"""Deliberate faults, applied one at a time: each must make at least one of its tests fail.

Every row names a one-line change to the launcher's source and the tests that are meant to catch
it. The runner applies the change, rebuilds the Windows preset, runs those tests, and puts the file
back whatever happens. A mutant that passes its tests is a survivor: the suite misses that fault.
A row whose text no longer stands exactly once in its file is stale and fails the run too, so the
table follows the code.

Run through `make mutants` (the bench starts Wine and the update site first); `-k TEXT` runs only
the rows whose name contains TEXT.
"""
import argparse
import dataclasses
import os
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("VARNIX_BUILD_DIR", ROOT / "build/windows"))
UNIT_TESTS = BUILD / "tests/unit/unit_tests.exe"
HOST_BUILD = ROOT / "build/host"
REPO_TOOL = HOST_BUILD / "tools/varnix-repo/varnix-repo"


@dataclasses.dataclass(frozen=True)
class Mutant:
    name: str
    file: str
    find: str
    replace: str
    e2e: str | None = None  # pytest -k expression over tests/e2e
    unit: str | None = None  # GoogleTest filter for the Windows unit tests
    tool: str | None = None  # pytest -k expression over tests/tools (the host's varnix-repo)


MUTANTS = [
    Mutant("extracted files never compared with the archive", "src/packages/install.cpp",
           "        !extractedFilesMatchArchive(directory, paths, errorText)) {", "        false) {",
           e2e="listed_file_held_for_reading"),
    Mutant("archive entries never checked", "src/packages/archive_check.cpp",
           "        if (!archiveEntryProblem(wideToUtf8(name), packageName).empty()) {",
           "        if (packageName.empty()) {",
           e2e="refused_archive_changes_nothing"),
    Mutant("first of two entries with one name wins", "src/packages/archive_check.cpp",
           "directory.files[fileSystemKey(name)] = {entry.crc32, entry.size, name};",
           "directory.files.emplace(fileSystemKey(name), ArchiveFile{entry.crc32, entry.size, name});",
           e2e="archive_read_as_the_extraction_reads_it"),
    Mutant("ZIP64 end record ignored", "src/packages/zip_directory.cpp",
           "if (disk == kFull16 || offset == kFull32 || count == kFull16)", "if (false)",
           unit="ZipDirectory.*:Refuses/ZipRefusal.*", e2e="archive_read_as_the_extraction_reads_it"),
    Mutant("CRC-32 folding constant off by one", "src/packages/crc32.cpp",
           "_mm_set_epi64x(0x01c6e41596, 0x0154442bd4)", "_mm_set_epi64x(0x01c6e41597, 0x0154442bd4)",
           unit="Crc32.*"),
    Mutant("8.3 alias of the marker directory allowed", "sdk/include/varnix/value_rules.h",
           'if (value_rules::isShortNameAlias(first)) return "starts with a short-name alias";', "",
           unit="Entries/ArchiveEntryRule.*"),
    Mutant("varnix-repo never checks archive entries", "tools/varnix-repo/repo_commands.cpp",
           "varnix::archiveEntryProblem(entry, packageName); !why.empty())",
           "varnix::archiveEntryProblem(entry, packageName); why == \"never\")",
           tool="entries_the_launcher_refuses"),
    Mutant("watch window 800 ms", "sdk/include/varnix/contract.h",
           "#define VARNIX_LAUNCH_WATCH_MS 1800", "#define VARNIX_LAUNCH_WATCH_MS 800",
           e2e="test_exit_of_the_application_against_the_watch"),
    Mutant("watch window 3500 ms", "sdk/include/varnix/contract.h",
           "#define VARNIX_LAUNCH_WATCH_MS 1800", "#define VARNIX_LAUNCH_WATCH_MS 3500",
           e2e="test_exit_of_the_application_against_the_watch"),
    Mutant("status 300 counted as success", "src/net/http.cpp",
           "status > 299", "status > 300", unit="HttpTest.StatusesOutsideTwoHundreds*"),
    Mutant("log rotation one byte late", "src/platform/log.h",
           "kLogRotationThreshold = 1048576", "kLogRotationThreshold = 1048577",
           e2e="rotates"),
    Mutant("marker never written", "src/packages/install.cpp",
           "    replaceFileDurably(marker, expected);", "",
           e2e="first_installation_then_nothing_to_do"),
    Mutant("restore keeps added files", "src/packages/backup.cpp",
           "        if (deleteFile(target)) {", "        if (false) {",
           e2e="read_only_files_are_restored_and_new_ones_deleted"),
    Mutant("compatibility order reversed", "src/launch/recovery.cpp",
           '{"graphics_compat", "compatibility"}', '{"compatibility", "graphics_compat"}',
           e2e="graphics_compat_before_compatibility"),
    Mutant("SECURITY test never matches", "src/platform/error_text.h",
           "return text.rfind(kSecurityMark, 0) == 0;", 'return text.rfind(L"SECURITY!", 0) == 0;',
           e2e="signature_that_does_not_verify"),
    Mutant("restart wait skipped", "src/launch/main_sequence.cpp",
           "    waitForRestartingApplication();", "", e2e="test_restart_through_the_launcher"),
    Mutant("restart wait 0 ms", "src/launch/restart_wait.h",
           "kRestartWaitMilliseconds = contract::kRestartWaitMilliseconds;", "kRestartWaitMilliseconds = 0;",
           e2e="test_restart_through_the_launcher"),
    Mutant("restart variable passed on", "src/launch/restart_wait.cpp",
           "SetEnvironmentVariableW(contract::kRestartVariable, nullptr);", "", unit="RestartWait.*"),
    Mutant("token check ignores the length", "sdk/include/varnix/app.h",
           "read != length", "read < length", unit="StartedByLauncher.*"),
    Mutant("device names with an extension pass", "sdk/include/varnix/value_rules.h",
           "std::string_view base = segment.substr(0, segment.find('.'));", "std::string_view base = segment;",
           unit="PackageNames.*:*ParseManifestRefuses*"),
    Mutant("freshness not checked", "src/manifest/load_manifest.cpp",
           "if (!checkManifestFreshness(manifestBytes, packageStateDir, keyFingerprint, errorText)) {",
           "if ((void)packageStateDir, false) {", e2e="test_replayed_older_manifest"),
    Mutant("equal serial refused", "src/manifest/freshness.cpp",
           "if (stored && *lines.serial < *stored)", "if (stored && *lines.serial <= *stored)",
           unit="*FreshnessVerdictTable*"),
    Mutant("no expiry skew", "src/manifest/freshness.cpp",
           "nowUnixSeconds > *lines.expiresAt + kExpirySkewSeconds", "nowUnixSeconds > *lines.expiresAt",
           unit="*FreshnessVerdictTable*"),
    Mutant("equal serial rewritten", "src/manifest/freshness.cpp",
           "(stored && *lines.serial <= *stored)", "(stored && *lines.serial < *stored)",
           unit="*FreshnessVerdictTable*"),
    Mutant("stored serial of any key", "src/manifest/freshness.cpp",
           "lines[1] != keyFingerprint ||", "", unit="*StoredSerial*"),
    Mutant("malformed line keeps the serial", "src/manifest/freshness.cpp",
           "if (!lines.wellFormed) lines.serial.reset();", "", unit="*FreshnessLinesTable*"),
    Mutant("truncated stored serial accepted", "src/manifest/freshness.cpp",
           "if (lines.size() != 3 || !lines[2].empty() ||", "if (lines.size() < 2 ||", unit="*StoredSerial*"),
    Mutant("leftover temporary serial kept", "src/manifest/freshness_check.cpp",
           "forceDeleteFile(durableWriteTemporary(path));  // an interrupted write of an earlier start", "(void)0;",
           e2e="leftover_temporary"),
    Mutant("stale manifest blocks", "src/manifest/freshness_check.cpp",
           'constexpr wchar_t kStaleReason[] = L"manifest.txt устарел: ";',
           'constexpr wchar_t kStaleReason[] = L"SECURITY: manifest.txt устарел: ";',
           e2e="test_replayed_older_manifest"),
    Mutant("one single-quote character not doubled", "src/packages/powershell_quoting.cpp",
           "c == L'\\u2019' || ", "", e2e="single_quote", unit="PowerShellLiteral.*"),
    Mutant("PowerShell found by the search order", "src/packages/extraction.cpp",
           "job.createProcess(applicationPath, writable,",
           "job.createProcess(applicationPath.substr(0, 0), writable,",
           e2e="planted"),
    Mutant("PATH not restored", "src/launch/app_launch.cpp",
           'SetEnvironmentVariableW(L"PATH", hadPath_ ? path_.c_str() : nullptr);', "",
           unit="LaunchApplication.*"),
    Mutant("announced length not checked", "src/net/http.cpp",
           "announced != kNoContentLength && announced > limits.maxBytes",
           "announced != kNoContentLength && announced > limits.maxBytes * 4096",
           e2e="oversized", unit="HttpTest.CapsDeadlines*"),
    Mutant("manifest without deadline", "src/manifest/load_manifest.cpp",
           "const unsigned long long deadlineTick = GetTickCount64() + timeLimits().manifestMilliseconds;",
           "const unsigned long long deadlineTick = 0;",
           e2e="trickling"),
    Mutant("slow signature taken for tampering", "src/manifest/load_manifest.cpp",
           "if (downloadError == downloadTimeoutText()) {", "if (false) {", e2e="trickling"),
    Mutant("throughput floor never checked", "src/net/http.cpp",
           "if (received - windowBytes_ < needed) return false;",
           "if (received - windowBytes_ < needed / 1000000) return false;",
           e2e="slow_archive", unit="HttpTest.CapsDeadlines*"),
    Mutant("no second pair", "src/manifest/load_manifest.cpp",
           "for (bool retried = false;; retried = true) {", "for (bool retried = true;; retried = true) {",
           e2e="release_switch"),
    Mutant("PowerShell without deadline", "src/packages/extraction.cpp",
           "WaitForSingleObject(powershell.process(), deadlineMilliseconds)",
           "WaitForSingleObject(powershell.process(), deadlineMilliseconds ? INFINITE : INFINITE)",
           e2e="powershell_past"),
    Mutant("archive shared for writing", "src/packages/extraction.cpp",
           "GENERIC_READ, FILE_SHARE_READ, nullptr,",
           "GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,",
           e2e="cannot_be_replaced"),
    Mutant("request size unlimited", "src/deps/request_parser.cpp",
           "kMaxRequestBytes = 64 * 1024", "kMaxRequestBytes = 64 * 1024 * 1024", unit="DependencyRequestParser.*"),
    Mutant("bidirectional isolates kept", "sdk/include/varnix/control_characters.h",
           "{0x2028, 0x202E}, {0x2066, 0x2069}, {0xFEFF, 0xFEFF},", "{0x2028, 0x202E}, {0x2066, 0x2068}, {0xFEFF, 0xFEFF},",
           unit="DependencyRequestParser.*"),
    Mutant("TLS 1.2 not required", "src/net/http.cpp",
           "    requireModernTls(session.get());", "    if (false) requireModernTls(session.get());",
           e2e="outdated_tls"),
    Mutant("unsafe names accepted", "src/manifest/manifest_parser.cpp",
           "if (!isSafeComponent(entry.name) || !isSafeComponent(entry.archive) || entry.sha256.empty())",
           "if (entry.name.empty() || entry.archive.empty() || entry.sha256.empty())",
           e2e="signed_line_aiming", unit="*ParseManifestRefuses*"),
    Mutant("unsafe listed items accepted", "src/manifest/manifest_parser.cpp",
           "if (!item.empty() && !isSafeListedItem(item)) return false;", "(void)item;",
           unit="*ParseManifestRefuses*"),
    Mutant("device names accepted", "sdk/include/varnix/value_rules.h",
           'if (isDeviceName(segment)) return "names a DOS device";', ";", unit="*ParseManifestRefuses*"),
    Mutant("marker vouches during a rewrite", "src/packages/install.cpp",
           "    forceDeleteFile(marker);", "    (void)marker;", e2e="aimed_kills and (Extracting or stalled)"),
    Mutant("leftover complete backup discarded", "src/packages/backup.cpp",
           "return readWholeFile(complete) == runIdentity() || !isExistingFile(marker);",
           "return (void)marker, false;", unit="*LeftoverBackup*:*TransactionHoldsEachPackageOnce*"),
    Mutant("incomplete backup kept", "src/packages/backup.cpp",
           "if (!isExistingFile(complete)) return false;",
           "if (!isExistingFile(complete)) return !isExistingFile(marker);", unit="*LeftoverBackup*"),
    Mutant("a package twice in the transaction", "src/packages/rollback.cpp",
           "if (recorded.name == entry.name) return;", "if (recorded.name == entry.name) break;",
           unit="*TransactionHoldsEachPackageOnce*"),
    Mutant("no lock per root", "src/launch/main_sequence.cpp",
           "NamedMutexLocks rootLock(launcherMutexNames(state.rootDir));", "NamedMutexLocks rootLock({});",
           e2e="two_launchers and same_path"),
    Mutant("root lock by the spelling alone", "src/launch/main_sequence.cpp",
           "const ByteString identity = fileIdentity(rootDir);", "const ByteString identity;",
           e2e="two_launchers and z_drive", unit="LauncherMutexName*"),
    Mutant("old launchers' lock name dropped", "src/launch/main_sequence.cpp",
           "            spellingMutexName(rootDir)};", "            };", unit="LauncherMutexName*"),
    Mutant("second launcher waits for ever", "src/launch/main_sequence.cpp",
           "if (rootLock.acquireWithin(timeLimits().rootLockMilliseconds)) return true;",
           "if (rootLock.acquireWithin(INFINITE)) return true;", e2e="gives_up_on_a_root"),
    Mutant("abandoned mutex blocks", "src/platform/named_mutex.cpp",
           "owned_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;", "owned_ = result == WAIT_OBJECT_0;",
           unit="NamedMutexLock*"),
    Mutant("mutex name keeps the case", "src/launch/main_sequence.cpp",
           "const WideString upper = toUpperCase(rootDir);", "const WideString upper = rootDir;",
           unit="LauncherMutexName*"),
    Mutant("PowerShell outside the job", "src/platform/job.cpp",
           "holdsProcess_ = job_ && AssignProcessToJobObject(job_.get(), info.hProcess);",
           "holdsProcess_ = false;", unit="KillOnCloseJob*"),
    Mutant("listed files not flushed", "src/packages/install.cpp",
           "    flushListedFiles(paths);", "    flushListedFiles(PackagePaths{});",
           e2e="reach_the_disk"),
    Mutant("marker written in place", "src/packages/install.cpp",
           "    replaceFileDurably(marker, expected);", "    writeWholeFile(marker, expected);",
           e2e="reach_the_disk"),
    Mutant("reset closes the handle it keeps", "src/platform/handle.h",
           "if (value == value_) return;", "", unit="Handles.*"),
    Mutant("token attributes kept", "src/launch/app_launch.cpp",
           "    clearAttributes(tokenPath);", "", e2e="token_file"),
    Mutant("module path truncated", "src/launch/command_line.cpp",
           "buffer.resize(size * 2);", "break;", e2e="longer_than_259"),
    Mutant("download directory through a link", "src/packages/install.cpp",
           "ensureRealDirectory(downloadDir)", "ensureDirectory(downloadDir)", e2e="link_in_a_work_area"),
    Mutant("stale archive kept when nothing is installed", "src/packages/required.cpp",
           "    deleteDirectoryTree(downloadDirectory(rootDir));", "",
           e2e="after_the_marker_before_the_clean_up"),
    Mutant("restore copies a backup link onto itself", "src/packages/backup.cpp",
           "    if (isSameFile(copy, target)) {", "    if (false) {",
           unit="PackageStoreTest.RestorePutsBackCopies*", e2e="rollback or restore"),
    Mutant("read-only file backed up by a link", "src/platform/fs.cpp",
           "const DWORD flags = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |",
           "const DWORD flags = FILE_ATTRIBUTE_HIDDEN |", e2e="read_only"),
    Mutant("held file backed up by a link", "src/platform/fs.cpp",
           "    return deletable && createHardLink(existing, link);",
           "    return createHardLink(existing, link);", e2e="held"),
    Mutant("restore drops the attributes", "src/packages/backup.cpp",
           "        copyAttributes(copy, target);", "",
           e2e="read_only_files_are_restored"),
    Mutant("listed duplicates kept", "src/manifest/load_manifest.cpp",
           "if (const size_t dropped = dropDuplicateListedFiles(entry, compareFileNames)) {",
           "if (const size_t dropped = 0) {", e2e="two_spellings"),
    Mutant("listed names compared with their case", "src/platform/text.cpp",
           "static_cast<int>(b.size()), TRUE);", "static_cast<int>(b.size()), FALSE);",
           unit="CompareFileNames*", e2e="two_spellings"),
    Mutant("listed names compared with their separators", "src/platform/text.cpp",
           "if (c == L'/') c = L'\\\\';", "if (c == L'/') c = L'/';", unit="CompareFileNames*"),
    Mutant("repo: duplicate listed files pass", "tools/varnix-repo/repo_commands.cpp",
           "if (std::string problem = duplicateListedFile(package.files); !problem.empty())",
           "if (std::string problem; !problem.empty())", tool="rejects_bad_input"),
    Mutant("repo: duplicate listed files pass verify", "tools/varnix-repo/repo_commands.cpp",
           "if (std::string duplicate = duplicateListedFile(entry.files); !duplicate.empty())",
           "if (std::string duplicate; !duplicate.empty())", tool="name_one_file_on_windows"),
    Mutant("repo: Cyrillic keeps its case", "tools/varnix-repo/repo_commands.cpp",
           "if (c >= 0x0430 && c <= 0x044F) return c - 0x20;", "", tool="rejects_bad_input"),
    Mutant("value rules with the old control characters", "sdk/include/varnix/value_rules.h",
           'if (controlCharacterLength(segment, at) != 0) return "holds a control character";',
           'if (static_cast<unsigned char>(segment[at]) < 0x20) return "holds a control character";',
           unit="*ParseManifestRefuses*", tool="rejects_bad_input"),
    Mutant("invisible characters left off the list", "sdk/include/varnix/control_characters.h",
           "{0x0000, 0x001F}, {0x007F, 0x009F}, {0x061C, 0x061C}, {0x200B, 0x200F},",
           "{0x0000, 0x001F}, {0x007F, 0x009F},", unit="DependencyRequestParser*:*ParseManifestRefuses*"),
    Mutant("control characters written by the header", "sdk/include/varnix/app.h",
           "    if (containsControlCharacter(value)) return false;", "", unit="FormatDependencyRequest.*"),
    Mutant("repo: package names compared with their case", "tools/varnix-repo/repo_commands.cpp",
           "names.emplace(windowsKey(package.name), package.name)", "names.emplace(package.name, package.name)",
           tool="test_refusals"),
    Mutant("repo: unflagged UTF-8 names pass", "tools/varnix-repo/repo_archive.cpp",
           "if (strict != nullptr && entry != strict) listing.unflagged.push_back(entry);", "(void)strict;",
           tool="test_refusals"),
    Mutant("repo: misspelt lines pass verify", "tools/varnix-repo/repo_commands.cpp",
           "if (!package && !fresh) lines.push_back(number);", "(void)package, (void)fresh;",
           tool="test_refusals"),
    Mutant("repo: pack keeps the file times", "tools/varnix-repo/repo_archive.cpp",
           "zip_file_set_dostime(archive.get(), entry, kFixedDosTime, kFixedDosDate, 0) != 0 ||", "",
           tool="pack_gives_the_same_bytes"),
    Mutant("repo: key read after the archives", "tools/varnix-repo/repo_commands.cpp",
           "if (!checkPrivateKey(options.key, error) ||", "if (", tool="key_comes_first"),
    Mutant("repo: keys encrypted with OpenSSL's default 2048 iterations", "tools/varnix-repo/repo_crypto.h",
           "kKeyIterations = 600000", "kKeyIterations = 2048", tool="keygen_writes_keys or rekey"),
    Mutant("repo: passphrases of any length", "tools/varnix-repo/repo_crypto.cpp",
           "if (!passphrase || passphrase->size() <= kMaxPassphraseBytes) return {};", "return {};",
           tool="keygen_writes_keys or rekey"),
    Mutant("repo: private key left without its public half", "tools/varnix-repo/repo_crypto.cpp",
           "    ::unlink(privatePath.c_str());", "", tool="errors_name_the_file"),
    Mutant("repo: rekey reports success and keeps the old key", "tools/varnix-repo/repo_crypto.cpp",
           "    if (::rename(staging.c_str(), rewritten.c_str()) != 0) {",
           "    if (::unlink(staging.c_str()) != 0) {", tool="rekey"),
    Mutant("repo: link switched before its history line", "tools/varnix-repo/repo_commands.cpp",
           "    if (!retractUnservedLastEntry(link, error) || !appendHistory(link, target, error)) return false;",
           "    if (!activate(target, link, error) || !retractUnservedLastEntry(link, error) ||\n"
           "        !appendHistory(link, target, error))\n"
           "        return false;",
           tool="history_cannot_be_written"),
    Mutant("repo: a history line the link never served stays", "tools/varnix-repo/repo_commands.cpp",
           "        history.back() == served)", "        true)", tool="goes_back_to_a_release"),
    Mutant("repo: a removed link's last history line taken back", "tools/varnix-repo/repo_commands.cpp",
           "!servedRelease(link, served) || served.empty() ||", "!servedRelease(link, served) ||",
           tool="goes_back_to_a_release"),
    Mutant("repo: rollback goes back to the live release written twice", "tools/varnix-repo/repo_freshness.cpp",
           "[&](const fs::path& entry) { return entry != live; }", "[&](const fs::path&) { return true; }",
           tool="goes_back_to_a_release"),
    Mutant("repo: rekey renames over a symlinked key path", "tools/varnix-repo/repo_crypto.cpp",
           "    rewritten = std::filesystem::canonical(source.path, code).string();",
           "    rewritten = source.path;", tool="rekey"),
    Mutant("repo: history line not flushed", "tools/varnix-repo/repo_crypto.cpp",
           "        ::fsync(fd.get()) != 0 || !fd.close()) {", "        !fd.close()) {", tool="reaches_the_disk"),
    Mutant("repo: link directory not flushed", "tools/varnix-repo/repo_commands.cpp",
           "    if (!syncParentDirectory(link, warning))", "    if (false)", tool="reaches_the_disk"),
    Mutant("repo: failed switch keeps its history line", "tools/varnix-repo/repo_commands.cpp",
           "        if (std::string problem; !retractHistory(link, target, problem)) {",
           "        if (std::string problem; false) {", tool="takes_its_history_line_back"),
    Mutant("repo: history reader ignores taken-back lines", "tools/varnix-repo/repo_freshness.cpp",
           "        if (line.rfind(kNotLiveMark, 0) == 0) {", "        if (false) {",
           tool="takes_its_history_line_back"),
    Mutant("repo: serials above 900000000000000000", "tools/varnix-repo/repo_freshness.cpp",
           "    if (serial > kHighestSerial && !again) {", "    if (serial > kHighestSerial && !again && false) {", tool="serial_rules or top_serial"),
    Mutant("repo: live serial refused even with --force-serial", "tools/varnix-repo/repo_freshness.cpp",
           "(*value == *liveSerial && !force)", "(*value == *liveSerial)", tool="serial_rules or top_serial"),
    Mutant("repo: serial written that launchers read as malformed", "tools/varnix-repo/repo_freshness.cpp",
           "    if (!varnix::parseSerial(text)) {", "    if (false) {", tool="top_serial"),
    Mutant("repo: rollback at the top serial asks for a higher one", "tools/varnix-repo/repo_commands.cpp",
           "    const bool atTheTop = live.lines.serial && *live.lines.serial >= kHighestSerial;",
           "    const bool atTheTop = false;", tool="top_serial"),
    Mutant("launcher replaced by an equal version", "src/launch/self_update.cpp",
           "if (*offered <= *running) return;", "if (*offered < *running) return;", e2e="launcher_stays"),
    Mutant("launcher promoted after a failed start", "src/launch/main_sequence.cpp",
           "    if (state.applicationStarted) {", "    if (true) {", e2e="launcher_stays"),
    Mutant("refused launcher version tried again", "src/launch/self_update.cpp",
           "if (isRefused(systemDir, *offered)) {", "if (isRefused(systemDir, *offered) && false) {",
           e2e="cannot_run"),
    Mutant("leftover launcher copy kept", "src/launch/self_update.cpp",
           "if (!deleteFile(leftover)) return;", "if (true) return;",
           e2e="cannot_run or kill_at_a_promotion"),
    Mutant("launcher promotion cannot replace", "src/launch/self_update.cpp",
           "MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH", "MOVEFILE_WRITE_THROUGH", e2e="higher_version_replaces"),
    Mutant("launcher promoted without waiting for the old one", "src/launch/self_update.cpp",
           "if (!waitForOldLauncher(request, deadlineTick)) {",
           "if (!waitForOldLauncher(PromotionRequest{}, deadlineTick) && false) {",
           e2e="after_the_old_one_ended"),
    Mutant("launcher promoted without reading its own version", "src/launch/self_update.cpp",
           "    if (!ownFileVersion()) {", "    if (false) {",
           e2e="cannot_run and unreadable"),
    Mutant("launcher promoted without loading its key", "src/launch/self_update.cpp",
           "    if (!manifestKeysLoad()) {", "    if (false) {",
           e2e="cannot_run and key"),
    Mutant("launcher promoted without verifying the site's manifest", "src/launch/self_update.cpp",
           "    if (!verifiesTheSitesManifest(systemDirectory(rootDir))) {",
           "    if (!verifiesTheSitesManifest(systemDirectory(rootDir)) && false) {",
           e2e="cannot_run and verify"),
    Mutant("launcher rename not tried again", "src/launch/self_update.cpp",
           "        if (!held || GetTickCount64() >= deadlineTick) {",
           "        if (held || !held || GetTickCount64() >= deadlineTick) {",
           e2e="outlasts_a_moment"),
    Mutant("stray promote variable obeyed", "src/launch/self_update.cpp",
           "    if (!startedAsNewLauncher()) {", "    if (!startedAsNewLauncher() && false) {",
           e2e="stray_promote_variable"),
    Mutant("promotion: a copy under another name replaces VarnixLauncher.exe", "src/launch/self_update.cpp",
           "    if (!runsAsTheLauncher(rootDir)) {",
           "    if (!runsAsTheLauncher(rootDir) && false) {", e2e="running_as_varnixlauncher"),
    Mutant("promotion: the running name compared with its case", "src/launch/self_update.cpp",
           "return _wcsicmp(longPathName(moduleFilePath()).c_str(),",
           "return wcscmp(longPathName(moduleFilePath()).c_str(),", e2e="running_as_varnixlauncher and capitals"),
    Mutant("promotion: a transient failure refuses at once", "src/launch/promotion_rules.cpp",
           "return {attempt, isOwnFault(failure) || attempt >= kPromotionAttempts};",
           "return {attempt, isOwnFault(failure) || true};",
           e2e="does_not_start", unit="*FailedAttemptTable*"),
    Mutant("promotion: an own fault is tried again", "src/launch/promotion_rules.cpp",
           "return {attempt, isOwnFault(failure) || attempt >= kPromotionAttempts};",
           "return {attempt, ((void)failure, attempt >= kPromotionAttempts)};", e2e="cannot_run and verify",
           unit="*FailedAttemptTable*"),
    Mutant("promotion: no verdict recorded", "src/launch/self_update.cpp",
           "    const bool recorded = replaceFileDurably(verdictPath(systemDir),",
           "    const bool recorded = false && replaceFileDurably(verdictPath(systemDir),",
           e2e="cannot_run and verify"),
    Mutant("promotion: failed attempts not counted", "src/launch/self_update.cpp",
           "    if (!replaceFileDurably(attempts, attemptCountText(decision.attempt))) {", "    if (false) {",
           e2e="does_not_start"),
    Mutant("promotion: the handle's process not checked against the id", "src/launch/self_update.cpp",
           "        if (GetProcessId(inherited) != request.processId) return false;", "",
           e2e="after_the_old_one_ended and another"),
    Mutant("promotion: the id waited on instead of the handle", "src/launch/self_update.cpp",
           "    if (request.handle != 0) {", "    if (false) {", e2e="after_the_old_one_ended and another"),
    Mutant("promotion: the handle to the old launcher not inherited", "src/platform/process.cpp",
           "if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE,",
           "if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE,",
           e2e="higher_version_replaces"),
    Mutant("launcher version resource key not checked", "src/launch/launcher_version.cpp",
           "!= kVersionKey[i]) return std::nullopt;", "!= kVersionKey[i]) (void)0;", unit="*FixedFileVersionTable*"),
    Mutant("rotation: next key ignored", "src/manifest/load_manifest.cpp",
           "if (verifiesWith(key.get(), digest, signature)) {",
           "if (&manifestKey == kManifestKeys && verifiesWith(key.get(), digest, signature)) {", e2e="rotation"),
    Mutant("rotation: serial of the other key forgotten", "src/manifest/freshness_check.cpp",
           "for (const ManifestKey& key : kManifestKeys) {", "for (const ManifestKey& key : {kManifestKeys[0]}) {",
           e2e="rotation"),
    Mutant("durable write keeps the read-only flag", "src/platform/fs.cpp",
           "    if (written) SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);", "",
           unit="WholeFiles/DurableWrites.*"),
    Mutant("stored serial written in place", "src/manifest/freshness_check.cpp",
           "!replaceFileDurably(serialFile, formatStoredSerial(*grown, keyFingerprint))) {",
           "!writeWholeFile(serialFile, formatStoredSerial(*grown, keyFingerprint))) {",
           e2e="read_only_state_file"),
    Mutant("serial's directory failure not named", "src/manifest/freshness_check.cpp",
           "if (!ensureDirectory(packageStateDir) ||", "if (!(ensureDirectory(packageStateDir), true) ||",
           e2e="unwritable_system"),
    Mutant("token write failure ignored", "src/launch/app_launch.cpp",
           "if (!writeWholeFile(tokenPath, token)) {", "if (!writeWholeFile(tokenPath, token) && false) {",
           e2e="unwritable_system"),
    Mutant("destination: wildcards not escaped", "src/packages/powershell_quoting.cpp",
           "quotePowerShellLiteral(escapePowerShellWildcards(destination))",
           "quotePowerShellLiteral(destination)",
           e2e="wildcard_characters_in_root", unit="PowerShellLiteral.*"),
    Mutant("destination: PowerShell started without it", "src/packages/extraction.cpp",
           "    if (destinationError != ERROR_SUCCESS) {", "    if (false) {",
           e2e="system_directory_that_cannot_be_made"),
    Mutant("signature: not fetched again", "src/manifest/load_manifest.cpp",
           "        return PairFetch::SignatureUnobtainable;", "        return PairFetch::Failed;",
           e2e="fails_once_is_fetched_again or broken_signature_download_blocks"),
    Mutant("signature: refetch with a deadline of its own", "src/manifest/load_manifest.cpp",
           "    limits.deadlineTick = deadlineTick;",
           "    limits.deadlineTick = ((void)deadlineTick, GetTickCount64() + timeLimits().manifestMilliseconds);",
           e2e="refetch_shares_the_deadline"),
    Mutant("reparse: every tag a link", "src/platform/fs.cpp",
           "    return reparseTag == 0 || IsReparseTagNameSurrogate(reparseTag);",
           "    return reparseTag != 1;", unit="Tags/ReparseTag.*"),
    Mutant("reparse: tag 0 not a link", "src/platform/fs.cpp",
           "    return reparseTag == 0 || IsReparseTagNameSurrogate(reparseTag);",
           "    return IsReparseTagNameSurrogate(reparseTag);",
           unit="DeleteDirectoryTree.NeverFollows*:WorkDirectories.*"),
    Mutant("listed item at a backup file's durable temporary", "sdk/include/varnix/value_rules.h",
           "value_rules::equalsIgnoringCase(segment.substr(reserved.size()),",
           "value_rules::equalsIgnoringCase(segment.substr(segment.size()),",
           unit="*ParseManifestRefuses*", tool="rejects_bad_input"),
    Mutant("pending: failed restore puts the marker back", "src/packages/backup.cpp",
           "        if (!restoreListedFile(paths, item, missingKeys)) allBack = false;",
           "        restoreListedFile(paths, item, missingKeys);",
           unit="PackageStoreTest.RestoreThatCannotPutAFileBack*"),
    Mutant("pending: backup removed by a good start", "src/packages/backup.cpp",
           "        if (holdsLastWholeState(dir, packageMarkerPath(systemDir, name))) {",
           "        if (holdsLastWholeState(dir, packageMarkerPath(systemDir, name)) && false) {",
           unit="PackageStoreTest.RestoreThatCannotPutAFileBack*"),
    Mutant("pending: backup beside an absent marker removed by a good start", "src/packages/backup.cpp",
           "           (isExistingFile(backupCompletePath(dir)) && !isExistingFile(marker));",
           "           (isExistingFile(backupCompletePath(dir)) && !isExistingFile(marker) && false);",
           unit="Starts/LeftBehindBackup.*"),
    Mutant("pending: restore recorded only once it failed", "src/packages/backup.cpp",
           "    recordPendingRestore(paths);\n    if (putBackupInPlace(paths)) {",
           "    if (putBackupInPlace(paths) || (recordPendingRestore(paths), false)) {", e2e="restore_cut_short"),
    Mutant("pending: a torn record rewritten by a later restore", "src/packages/backup.cpp",
           "    if (hasTornRecord(dir)) {", "    if (hasTornRecord(dir) && false) {",
           unit="Starts/LeftBehindBackup.*"),
    Mutant("pending: a record cut short trusted", "src/packages/backup.cpp",
           "    if (record.empty() || record.back() != '\\n') return false;", "",
           unit="Starts/LeftBehindBackup.*"),
    Mutant("pending: stale record restored over a later installation", "src/packages/backup.cpp",
           "        if (isExistingFile(paths.marker)) {", "        if (false) {",
           unit="PackageStoreTest.PendingRestoreNeverUndoes*"),
    Mutant("pending: kept backup stays the earlier run's", "src/packages/backup.cpp",
           "    if (readWholeFile(complete) != runIdentity()) replaceFileDurably(complete, runIdentity());",
           "", unit="Backups/LeftoverBackup.*"),
    Mutant("pending: not finished at the next start", "src/launch/main_sequence.cpp",
           "    finishPendingRestores(state.rootDir, state.systemDir);", "", e2e="pending_restore"),
    Mutant("missing list: every file without a copy deleted", "src/packages/backup.cpp",
           "        if (!contains(missingKeys, itemKey(item.relativePath))) return true;",
           "        if (!contains(missingKeys, itemKey(item.relativePath)) && false) return true;",
           unit="Restores/MissingFiles.*"),
    Mutant("missing list: compared with its case", "src/packages/backup.cpp",
           "    return toUpperCase(key);", "    return key;", unit="Restores/MissingFiles.*"),
    Mutant("missing list: failed write ignored", "src/packages/backup.cpp",
           "    if (!writeWholeFile(missingPath, missingList, true)) {",
           "    if (!writeWholeFile(missingPath, missingList, true) && false) {",
           unit="PackageStoreTest.BackupFailsWhenItsList*"),
    Mutant("setup: a picked folder becomes the root", "src/setup/VarnixSetup.nsi",
           '    StrCpy $INSTDIR "$INSTDIR\\${PRODUCT}"', "", e2e="picked_folder"),
    Mutant("setup: a second location allowed", "src/setup/VarnixSetup.nsi",
           "        ${If} $R1 != $R2", '        ${If} $R1 == "never"', e2e="picked_folder"),
    Mutant("setup: a newer launcher replaced", "src/setup/VarnixSetup.nsi",
           "IntCmpU $R1 ${VERSION_LOW} install install keep", "IntCmpU $R1 ${VERSION_LOW} install install install",
           e2e="keeps_its_files_and_a_newer_launcher"),
    Mutant("setup: uninstall entry kept", "src/setup/VarnixSetup.nsi",
           '    DeleteRegKey HKCU "${UNINSTALL_KEY}"', "", e2e="uninstaller_removes_only_varnix"),
    Mutant("setup helper: running programs not seen", "src/setup/setup_helper.cpp",
           "return isAnythingOfRootRunning(path) ? VARNIX_HELPER_RUNNING : VARNIX_HELPER_DONE;",
           "return VARNIX_HELPER_DONE;", e2e="refuse_while_varnix_of_the_root_runs"),
    Mutant("setup helper: removal while running", "src/setup/setup_helper.cpp",
           "    if (isAnythingOfRootRunning(rootDir)) return VARNIX_HELPER_RUNNING;", "",
           e2e="refuse_while_varnix_of_the_root_runs"),
    Mutant("setup helper: protected directories allowed", "src/setup/target_directory.cpp",
           "    if (isProtected(full)) return TargetVerdict::Protected;",
           "    if (isProtected(full) && false) return TargetVerdict::Protected;",
           e2e="refuses_a_directory_it_could_not_update_from"),
    Mutant("setup helper: links to a protected directory not resolved", "src/setup/target_directory.cpp",
           "    return joinPath(finalPathOfExisting(existing), rest);",
           "    return joinPath(((void)&finalPathOfExisting, existing), rest);",
           e2e="refuses_a_directory_it_could_not_update_from"),
    Mutant("setup helper: any folder taken for a root", "src/setup/setup_helper.cpp",
           "    if (!registered && !isVarnixRoot(rootDir)) return VARNIX_HELPER_NOT_A_ROOT;",
           "    if (!registered && !isVarnixRoot(rootDir) && false) return VARNIX_HELPER_NOT_A_ROOT;",
           e2e="copied_uninstaller"),
    Mutant("setup helper: the registered root refused without its marks", "src/setup/setup_helper.cpp",
           "    if (command == L\"remove-registered\") return removeRoot(path, true);",
           "    if (command == L\"remove-registered\") return removeRoot(path, false);",
           e2e="registered_root_is_removed"),
    Mutant("setup: a copied uninstaller removes the registered entry", "src/setup/VarnixSetup.nsi",
           "    StrCpy $R8 0", "    StrCpy $R8 1", e2e="copied_uninstaller"),
    Mutant("setup helper: the launcher removed with the rest", "src/setup/setup_helper.cpp",
           "    for (size_t i = 0; i + 1 < paths.size(); ++i) {",
           "    for (size_t i = 0; i < paths.size(); ++i) {", e2e="uninstaller_removes_only_varnix"),
    Mutant("running check: paths compared as text", "src/platform/process.cpp",
           "    return imageIdentity == pathIdentity;",
           "    return isSamePathText(image, executablePath);",
           unit="ProgramRunning.*"),
    Mutant("inside path: a prefix of a name counts", "src/platform/path.cpp",
           "    return folded.size() == prefix.size() || folded[prefix.size()] == L'\\\\';", "    return true;",
           unit="*SameOrInsidePath*"),
    Mutant("white space at a part's ends allowed", "sdk/include/varnix/value_rules.h",
           "if (startsOrEndsWithWhiteSpace(segment))", "if (false)",
           unit="*ParseManifestRefuses*:*ArchiveEntryRule*", tool="entries_the_launcher_refuses"),
    Mutant("files outside the list never compared", "src/packages/archive_check.cpp",
           "if (compared.count(key) != 0) continue;", "continue;", e2e="unlisted_file_held"),
]


def wine_env():
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    return env


def build(directory=BUILD):
    result = subprocess.run(["cmake", "--build", str(directory)], capture_output=True, text=True)
    return result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]


def tests_fail(mutant):
    """True when any of the row's tests fails against the mutated build."""
    if mutant.unit:
        unit = subprocess.run([str(ROOT / "scripts/wine-exec"), str(UNIT_TESTS), f"--gtest_filter={mutant.unit}"],
                              capture_output=True, text=True, env=wine_env(), timeout=600)
        if "[  PASSED  ]" not in unit.stdout or unit.returncode != 0:
            return True
        if " 0 tests" in unit.stdout:
            raise RuntimeError(f"filter {mutant.unit!r} selects no unit test")
    if mutant.tool:
        tool = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                               str(ROOT / "tests/tools"), "-k", mutant.tool],
                              capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=600,
                              env={**os.environ, "VARNIX_REPO": str(REPO_TOOL)})
        if tool.returncode == 5:
            raise RuntimeError(f"expression {mutant.tool!r} selects no tool test")
        if tool.returncode != 0:
            return True
    if mutant.e2e:
        e2e = subprocess.run([sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider",
                              str(ROOT / "tests/e2e"), "-k", mutant.e2e],
                             capture_output=True, text=True, env=wine_env(), timeout=1800)
        if e2e.returncode not in (0, 5):
            return True
        # The scenarios marked nonroot run only in the part whose Wine runs as an unprivileged user.
        user = subprocess.run([str(ROOT / "scripts/bench.sh"), "e2e-user", "-q", "-x", "-k", mutant.e2e],
                              capture_output=True, text=True, env=wine_env(), timeout=1800)
        if e2e.returncode == 5 and user.returncode == 5:
            raise RuntimeError(f"expression {mutant.e2e!r} selects no e2e test")
        if user.returncode not in (0, 5):
            return True
    return False


def try_mutant(mutant):
    path = ROOT / mutant.file
    original = path.read_text(encoding="utf-8")
    if original.count(mutant.find) != 1:
        return "stale row"
    try:
        path.write_text(original.replace(mutant.find, mutant.replace), encoding="utf-8")
        built, output = build(HOST_BUILD if mutant.tool else BUILD)
        if not built:
            print(output, file=sys.stderr)
            return "does not build"
        return "killed" if tests_fail(mutant) else "SURVIVED"
    except (RuntimeError, subprocess.TimeoutExpired) as error:
        return f"bad row: {error}"
    finally:
        path.write_text(original, encoding="utf-8")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("-k", default="", help="only rows whose name contains this text; "
                        "several texts separated by | select rows that contain any of them")
    wanted = parser.parse_args().k.split("|")
    selected = [m for m in MUTANTS if any(text in m.name for text in wanted)]
    results = []
    for mutant in selected:
        started = time.monotonic()
        outcome = try_mutant(mutant)
        results.append((mutant.name, outcome))
        print(f"{outcome:>16}  {mutant.name}  ({time.monotonic() - started:.0f} s)", flush=True)
    rebuilt, output = True, ""
    for directory in {HOST_BUILD if m.tool else BUILD for m in selected}:
        built, text = build(directory)
        rebuilt, output = rebuilt and built, output + text
    if not rebuilt:
        print(output, file=sys.stderr)
    bad = [name for name, outcome in results if outcome != "killed"]
    print(f"{len(results) - len(bad)} killed, {len(bad)} not killed" + (": " + ", ".join(bad) if bad else ""))
    return 0 if not bad and rebuilt else 1


if __name__ == "__main__":
    sys.exit(main())
