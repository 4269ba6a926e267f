#include "packages/backup.h"

#include <algorithm>
#include <string>
#include <vector>

#include "packages/store.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/text_conversion.h"

namespace varnix {
namespace {

// A copy that must survive a power cut: on the disk before the caller goes on.
bool copyDurably(const WideString& from, const WideString& to) {
    if (!copyFileReplacing(from, to)) return false;
    flushFile(to);
    return true;
}

// Expand-Archive -Force removes an existing file before it writes the entry as a new one, so a
// second hard link keeps the old bytes, already on the disk, without copying them. A link is
// made only where the extraction could remove the file; a file someone holds is copied as
// before, so one held without sharing still stops the backup before anything is touched.
// Attributes belong to the file rather than to a link, and Remove-Item -Force clears a
// read-only flag: such files, and volumes without hard links, get a flushed copy instead.
bool backupFile(const WideString& source, const WideString& copy) {
    if (hasPlainAttributes(source) && createHardLinkIfDeletable(source, copy)) return true;
    return copyDurably(source, copy);
}

WideString backupCompletePath(const WideString& dir) {
    return joinPath(dir, asciiText(kBackupCompleteName));
}

// Tells this run's backups from those that earlier runs left: the process id and its creation
// time, which no later process shares.
const ByteString& runIdentity() {
    static const ByteString identity = [] {
        const ProcessIdentity process = currentProcessIdentity();
        return std::to_string(process.id) + "-" + std::to_string(process.creationTime);
    }();
    return identity;
}

WideString restorePendingPath(const WideString& dir) {
    return joinPath(dir, asciiText(kRestorePendingName));
}

// A backup found in place of a new one. A backup is complete only when its last file,
// ".backup_complete" (holding the identity of the run that made it), exists: it is written after
// every copy in the backup has been flushed. An incomplete backup, and so every backup that
// older launchers left, is worth nothing and is discarded.
//
// A complete backup is kept, and this installation takes no new one, when
//  - this run made it: the package is installed a second time in this run, and only the first
//    backup holds the state from before the run; or
//  - the package's marker is absent: every installation deletes the marker before its
//    extraction and writes it again only once the files are whole, and a restore deletes it
//    before putting files back. An absent marker beside a complete backup therefore means that
//    an installation or a restore never finished; the files on disk may be a broken mixture and
//    the backup holds the last state that was whole. A pending restore (below) is such a case.
// A complete backup of an earlier run beside a present marker belongs to an installation that
// finished: the files on disk are whole, and a new backup replaces the old one.
//
// The life of a pending restore. Every restore first writes ".restore_pending" beside the backup,
// naming the listed items to put back, in one durable step; only a restore that finished removes
// it, with the backup. A restore that cannot put every file back (a program started from the new
// files still holds one), or that a power cut or a kill stops half way, so leaves the marker
// absent and the whole backup with its record:
//  - at the next start, before any installation, finishPendingRestores tries again; once every
//    file is back, the saved marker returns and the backup goes, as after any restore. A record
//    that is not whole (empty, cut off before its last line break, or with a line no item could
//    be) names nothing to trust, and the restore stays pending rather than bring the marker back
//    over files it never put back;
//  - when it fails again, the package counts as not installed and the required stage installs
//    it again over the kept backup (absent marker, see above), which that installation takes
//    over as this run's backup. If that installation fails too, its restore works from the same
//    backup, so the state it returns to is still the last whole one;
//  - an installation that completes writes the marker: from then on the record is stale, and
//    nothing restores from it any more (the next start drops it), so a pending restore never
//    undoes a later installation. The backup is then this run's ordinary backup: a rollback of
//    this run returns to the last whole state;
//  - removeRollbackData spares a complete backup while its record is there or its marker is
//    absent (an installation cut short leaves no record), and backupPackage never replaces it
//    while the marker is absent: only an installation or a restore that finished lets it go.
bool keepsExistingBackup(const WideString& dir, const WideString& marker) {
    if (!isRealDirectory(dir)) return false;
    const WideString complete = backupCompletePath(dir);
    if (!isExistingFile(complete)) return false;
    return readWholeFile(complete) == runIdentity() || !isExistingFile(marker);
}

// A kept backup of an earlier run becomes this run's: a second installation of the package in
// this run, after the first one completed and wrote the marker, must keep it too. The identity is
// replaced in one step, so the backup stays complete throughout.
void adoptBackup(const WideString& dir) {
    const WideString complete = backupCompletePath(dir);
    if (readWholeFile(complete) != runIdentity()) replaceFileDurably(complete, runIdentity());
}

bool isPendingRestore(const WideString& dir) {
    return isExistingFile(backupCompletePath(dir)) && isExistingFile(restorePendingPath(dir));
}

// The backup is still the last whole state of its package: a restore of it is pending, or an
// installation or a restore never finished (absent marker).
bool holdsLastWholeState(const WideString& dir, const WideString& marker) {
    return isPendingRestore(dir) ||
           (isExistingFile(backupCompletePath(dir)) && !isExistingFile(marker));
}

// The completion file goes first: a removal cut short must not leave a complete-looking
// backup with copies missing.
void discardBackup(const WideString& dir) {
    if (!removeLink(dir)) return;
    forceDeleteFile(backupCompletePath(dir));
    deleteDirectoryTree(dir);
}

// False with errorText set when a listed file exists but cannot be copied.
bool backupListedFiles(const PackagePaths& paths, ByteString& missingList, WideString& errorText) {
    for (const ListedItem& item : paths.listed) {
        const WideString source = paths.inSystem(item);
        const WideString copy = paths.inBackup(item);
        if (!isExistingFile(source)) {
            missingList += item.spelled + "\n";
            continue;
        }
        ensureDirectory(parentPath(copy));
        if (!backupFile(source, copy)) {
            errorText = L"Не удалось создать резервную копию файла:\n" + source + L"\n\nОшибка: " +
                        lastErrorText();
            return false;
        }
    }
    return true;
}

// How a listed item is compared: "/" and "\\" alike, and without regard to case, as the file
// system compares names.
WideString itemKey(const WideString& relativePath) {
    WideString key = relativePath;
    std::replace(key.begin(), key.end(), L'/', L'\\');
    return toUpperCase(key);
}

std::vector<ByteString> textLines(const ByteString& text) {
    std::vector<ByteString> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == ByteString::npos) end = text.size();
        ByteString line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// Every line of the record is an item this launcher could have written, and the last one ends
// with its line break.
bool isWholeRecord(const ByteString& record) {
    if (record.empty() || record.back() != '\n') return false;
    for (const ByteString& line : textLines(record)) {
        if (!isSafeListedItem(line)) return false;
    }
    return true;
}

// A record is there but not whole: it cannot tell which files a restore still owes, so nothing
// restores from it, and nothing writes over it, until an installation of the package completes.
bool hasTornRecord(const WideString& dir) {
    const WideString record = restorePendingPath(dir);
    return isExistingFile(record) && !isWholeRecord(readWholeFile(record));
}

// The listed items that did not exist when the backup was made: the only files a restore
// deletes.
std::vector<WideString> missingItemKeys(const WideString& dir) {
    std::vector<WideString> keys;
    for (const ByteString& line :
         textLines(readWholeFile(joinPath(dir, asciiText(kMissingFilesName)))))
        keys.push_back(itemKey(utf8ToWide(line)));
    return keys;
}

bool contains(const std::vector<WideString>& keys, const WideString& key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// The items a restore puts back: the listed ones, and those a pending restore recorded, which a
// kept backup of an earlier file list may hold beyond them.
std::vector<ListedItem> itemsToRestore(const PackagePaths& paths) {
    std::vector<ListedItem> items = paths.listed;
    std::vector<WideString> keys;
    for (const ListedItem& item : items)
        keys.push_back(itemKey(item.relativePath));
    for (const ByteString& line : textLines(readWholeFile(restorePendingPath(paths.rollbackDir)))) {
        if (!isSafeListedItem(line)) continue;  // not a record this launcher wrote
        WideString relative = utf8ToWide(line);
        std::replace(relative.begin(), relative.end(), L'/', L'\\');
        if (contains(keys, itemKey(relative))) continue;
        keys.push_back(itemKey(relative));
        items.push_back({line, relative});
    }
    return items;
}

// False when the file could not be put back or deleted: the restore is then left pending.
bool restoreListedFile(const PackagePaths& paths, const ListedItem& item,
                       const std::vector<WideString>& missingKeys) {
    const WideString target = paths.inSystem(item);
    const WideString copy = paths.inBackup(item);
    if (!isExistingFile(copy)) {
        // No copy: the installation added the file if the backup found it missing. A file that a
        // backup of an earlier file list never looked at was there before, and stays.
        if (!contains(missingKeys, itemKey(item.relativePath))) return true;
        if (!isExistingFile(target)) return true;
        clearAttributes(target);
        if (deleteFile(target)) {
            logWrite(L"Rollback deleted new file: " + target);
            return true;
        }
        logWrite(L"Rollback delete new file failed: " + target + L" / " + lastErrorText());
        return false;
    }
    // A file the extraction never reached is still the backup's own link: copying it onto
    // itself would empty it.
    if (isSameFile(copy, target)) {
        logWrite(L"Rollback restored file: " + target);
        return true;
    }
    ensureDirectory(parentPath(target));
    clearAttributes(target);
    if (copyDurably(copy, target)) {
        // A copy over an existing file does not always take the source's attributes along.
        copyAttributes(copy, target);
        logWrite(L"Rollback restored file: " + target);
        return true;
    }
    logWrite(L"Rollback file restore failed: " + target + L" / " + lastErrorText());
    return false;
}

// Every file first, the saved marker last; then the backup goes. When a file cannot be put back,
// the marker stays absent and the backup stays whole. True when the backup is back in place.
bool putBackupInPlace(const PackagePaths& paths) {
    // The marker goes first: a restore cut short must not leave half-restored files that a
    // still-matching marker declares installed. The saved marker comes back last, after every
    // restored file is on the disk.
    const WideString& marker = paths.marker;
    const WideString& dir = paths.rollbackDir;
    forceDeleteFile(marker);
    const std::vector<WideString> missingKeys = missingItemKeys(dir);
    bool allBack = true;
    for (const ListedItem& item : itemsToRestore(paths)) {
        if (!restoreListedFile(paths, item, missingKeys)) allBack = false;
    }
    if (!allBack) return false;
    const WideString saved = rollbackMarkerPath(dir);
    if (isExistingFile(saved)) {
        ensureDirectory(parentPath(marker));
        replaceFileDurably(marker, readWholeFile(saved));
    }
    discardBackup(dir);
    return true;
}

// Names every item the restore has to put back, so that the next start can finish it.
void recordPendingRestore(const PackagePaths& paths) {
    ByteString record;
    for (const ListedItem& item : itemsToRestore(paths))
        record += item.spelled + "\n";
    if (!replaceFileDurably(restorePendingPath(paths.rollbackDir), record))
        logWrite(L"Rollback restore record failed: " + paths.name + L" / " + lastErrorText());
}

}  // namespace

bool backupPackage(const PackagePaths& paths, WideString& errorText) {
    const WideString& name = paths.name;
    const WideString& dir = paths.rollbackDir;
    const WideString& marker = paths.marker;
    const WideString cannotCreate = L"Не удалось создать папку rollback для пакета: " + name;
    if (!ensureRealDirectory(parentPath(dir)) || !removeLink(dir)) {
        errorText = cannotCreate;
        return false;
    }
    if (keepsExistingBackup(dir, marker)) {
        adoptBackup(dir);
        logWrite(L"Rollback backup kept for package: " + name);
        return true;
    }
    discardBackup(dir);
    if (!ensureRealDirectory(dir)) {
        errorText = cannotCreate;
        return false;
    }
    ByteString missingList;
    if (!backupListedFiles(paths, missingList, errorText)) {
        discardBackup(dir);
        return false;
    }
    // The restore deletes only the files this list names: a backup kept for an earlier file list
    // has no copy of a file that list did not name, and that file was there before.
    const WideString missingPath = joinPath(dir, asciiText(kMissingFilesName));
    if (!writeWholeFile(missingPath, missingList, true)) {
        errorText = L"Не удалось создать резервную копию файла:\n" + missingPath + L"\n\nОшибка: " +
                    lastErrorText();
        discardBackup(dir);
        return false;
    }

    bool markerSaved = true;
    if (!isExistingFile(marker)) {
        // Never read: a backup without a saved marker leaves the package without one.
        writeWholeFile(joinPath(dir, asciiText(kMarkerMissingName)), "1", true);
    } else {
        markerSaved = copyDurably(marker, rollbackMarkerPath(dir));
    }
    if (!markerSaved) {
        errorText = L"Не удалось создать резервную копию маркера пакета: " + name;
        discardBackup(dir);
        return false;
    }
    writeWholeFile(backupCompletePath(dir), runIdentity(), true);
    logWrite(L"Rollback backup created for package: " + name);
    return true;
}

bool restorePackage(const PackagePaths& paths) {
    const WideString& name = paths.name;
    const WideString& dir = paths.rollbackDir;
    if (!isRealDirectory(dir)) {
        removeLink(dir);  // a link is no backup, and what it points to is not ours to read
        logWrite(L"Rollback skipped, backup not found for package: " + name);
        return true;
    }
    logWrite(L"Rollback started for package: " + name);
    if (hasTornRecord(dir)) {
        logWrite(L"Rollback restore left pending for package: " + name);
        return false;
    }
    // Before the first file is touched: a restore stopped half way is finished at the next start.
    recordPendingRestore(paths);
    if (putBackupInPlace(paths)) {
        logWrite(L"Rollback completed for package: " + name);
        return true;
    }
    logWrite(L"Rollback restore left pending for package: " + name);
    return false;
}

void finishPendingRestores(const WideString& rootDir, const WideString& systemDir) {
    const WideString rollbackDir = rollbackRoot(rootDir);
    if (!isRealDirectory(rollbackDir)) return;
    for (const WideString& directory : realSubdirectories(rollbackDir)) {
        PackageEntry entry;
        entry.name = wideToUtf8(directory);
        if (!isSafeComponent(entry.name)) continue;  // no backup of ours
        // The archive plays no part in a restore, and the listed items come from the record.
        entry.archive = entry.name;
        const PackagePaths paths = packagePaths(rootDir, systemDir, entry);
        if (!isPendingRestore(paths.rollbackDir)) continue;
        if (isExistingFile(paths.marker)) {
            // An installation completed after the restore was left pending: the record is stale,
            // and the backup an ordinary one.
            forceDeleteFile(restorePendingPath(paths.rollbackDir));
            continue;
        }
        if (!hasTornRecord(paths.rollbackDir) && putBackupInPlace(paths)) {
            logWrite(L"Rollback restore finished for package: " + paths.name);
        } else {
            logWrite(L"Rollback restore still pending for package: " + paths.name);
        }
    }
}

void discardAllBackups(const WideString& rootDir, const WideString& systemDir) {
    const WideString rollbackDir = rollbackRoot(rootDir);
    if (!removeLink(rollbackDir)) return;
    bool pendingKept = false;
    for (const WideString& name : realSubdirectories(rollbackDir)) {
        const WideString dir = joinPath(rollbackDir, name);
        if (holdsLastWholeState(dir, packageMarkerPath(systemDir, name))) {
            pendingKept = true;  // until an installation or a restore of its package finishes
        } else {
            discardBackup(dir);
        }
    }
    if (!pendingKept) deleteDirectoryTree(rollbackDir);
}

}  // namespace varnix
