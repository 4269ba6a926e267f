#include "packages/backup.h"

#include <string>

#include "packages/store.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/path.h"
#include "platform/process.h"

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
//    the backup holds the last state that was whole.
// A complete backup of an earlier run beside a present marker belongs to an installation that
// finished: the files on disk are whole, and a new backup replaces the old one.
bool keepsExistingBackup(const WideString& dir, const WideString& marker) {
    if (!isRealDirectory(dir)) return false;
    const WideString complete = backupCompletePath(dir);
    if (!isExistingFile(complete)) return false;
    return readWholeFile(complete) == runIdentity() || !isExistingFile(marker);
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

void restoreListedFile(const PackagePaths& paths, const ListedItem& item) {
    const WideString target = paths.inSystem(item);
    const WideString copy = paths.inBackup(item);
    if (!isExistingFile(copy)) {
        // No copy: the installation added this file.
        if (!isExistingFile(target)) return;
        clearAttributes(target);
        if (deleteFile(target)) {
            logWrite(L"Rollback deleted new file: " + target);
        } else {
            logWrite(L"Rollback delete new file failed: " + target + L" / " + lastErrorText());
        }
        return;
    }
    // A file the extraction never reached is still the backup's own link: copying it onto
    // itself would empty it.
    if (isSameFile(copy, target)) {
        logWrite(L"Rollback restored file: " + target);
        return;
    }
    ensureDirectory(parentPath(target));
    clearAttributes(target);
    if (copyDurably(copy, target)) {
        // A copy over an existing file does not always take the source's attributes along.
        copyAttributes(copy, target);
        logWrite(L"Rollback restored file: " + target);
    } else {
        logWrite(L"Rollback file restore failed: " + target + L" / " + lastErrorText());
    }
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
    // Written for whoever inspects a backup by hand; no restore reads it: a listed file without
    // a copy is one the installation added, and the restore deletes it.
    writeWholeFile(joinPath(dir, asciiText(kMissingFilesName)), missingList, true);

    bool markerSaved = true;
    if (!isExistingFile(marker)) {
        // Like the missing-files list, never read: a backup without a saved marker leaves the
        // package without one.
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
    // The marker goes first: a restore cut short must not leave half-restored files that a
    // still-matching marker declares installed. The saved marker comes back last, after every
    // restored file is on the disk.
    const WideString& marker = paths.marker;
    forceDeleteFile(marker);
    for (const ListedItem& item : paths.listed)
        restoreListedFile(paths, item);
    const WideString saved = rollbackMarkerPath(dir);
    if (isExistingFile(saved)) {
        ensureDirectory(parentPath(marker));
        replaceFileDurably(marker, readWholeFile(saved));
    }
    discardBackup(dir);
    logWrite(L"Rollback completed for package: " + name);
    return true;
}

void discardAllBackups(const WideString& rollbackDir) {
    if (!removeLink(rollbackDir)) return;
    for (const WideString& name : realSubdirectories(rollbackDir)) {
        forceDeleteFile(backupCompletePath(joinPath(rollbackDir, name)));
    }
    deleteDirectoryTree(rollbackDir);
}

}  // namespace varnix
