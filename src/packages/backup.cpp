#include "packages/backup.h"

#include <windows.h>

#include "packages/store.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/path.h"

namespace varnix {
namespace {

bool copyReplacing(const WideString& from, const WideString& to) {
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != 0;
}

// False with errorText set when a listed file exists but cannot be copied.
bool backupListedFiles(const WideString& dir, const WideString& systemDir,
                       const PackageEntry& entry, ByteString& missingList, WideString& errorText) {
    for (const ByteString& item : entry.files) {
        if (item.empty()) continue;
        const WideString source = listedFilePath(systemDir, item);
        const WideString copy = listedFilePath(dir, item);
        if (!isExistingFile(source)) {
            missingList += item + "\n";
            continue;
        }
        ensureDirectory(parentPath(copy));
        if (!copyReplacing(source, copy)) {
            errorText = L"Не удалось создать резервную копию файла:\n" + source + L"\n\nОшибка: " +
                        win32ErrorText(GetLastError());
            return false;
        }
    }
    return true;
}

void restoreListedFile(const WideString& dir, const WideString& systemDir, const ByteString& item) {
    const WideString target = listedFilePath(systemDir, item);
    const WideString copy = listedFilePath(dir, item);
    if (!isExistingFile(copy)) {
        // No copy: the installation added this file.
        if (!isExistingFile(target)) return;
        SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (DeleteFileW(target.c_str())) {
            logWrite(L"Rollback deleted new file: " + target);
        } else {
            logWrite(L"Rollback delete new file failed: " + target + L" / " +
                     win32ErrorText(GetLastError()));
        }
        return;
    }
    ensureDirectory(parentPath(target));
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (copyReplacing(copy, target)) {
        logWrite(L"Rollback restored file: " + target);
    } else {
        logWrite(L"Rollback file restore failed: " + target + L" / " +
                 win32ErrorText(GetLastError()));
    }
}

}  // namespace

bool backupPackage(const WideString& rootDir, const WideString& systemDir,
                   const PackageEntry& entry, WideString& errorText) {
    const WideString name = utf8ToWide(entry.name);
    const WideString dir = packageRollbackDir(rootDir, entry);
    deleteDirectoryTree(dir);
    if (!ensureDirectory(dir)) {
        errorText = L"Не удалось создать папку rollback для пакета: " + name;
        return false;
    }
    ByteString missingList;
    if (!backupListedFiles(dir, systemDir, entry, missingList, errorText)) {
        deleteDirectoryTree(dir);
        return false;
    }
    writeWholeFile(joinPath(dir, L"_missing_files.txt"), missingList);

    const WideString marker = packageMarkerPath(systemDir, entry);
    bool markerSaved = true;
    if (!isExistingFile(marker)) {
        writeWholeFile(joinPath(dir, L".package_marker.missing"), "1");
    } else {
        markerSaved = copyReplacing(marker, rollbackMarkerPath(dir));
    }
    if (!markerSaved) {
        errorText = L"Не удалось создать резервную копию маркера пакета: " + name;
        deleteDirectoryTree(dir);
        return false;
    }
    logWrite(L"Rollback backup created for package: " + name);
    return true;
}

bool restorePackage(const WideString& rootDir, const WideString& systemDir,
                    const PackageEntry& entry) {
    const WideString name = utf8ToWide(entry.name);
    const WideString dir = packageRollbackDir(rootDir, entry);
    if (!isExistingDirectory(dir)) {
        logWrite(L"Rollback skipped, backup not found for package: " + name);
        return true;
    }
    logWrite(L"Rollback started for package: " + name);
    // The marker goes first: a restore cut short must not leave half-restored files that a
    // still-matching marker declares installed. The saved marker comes back last.
    const WideString marker = packageMarkerPath(systemDir, entry);
    DeleteFileW(marker.c_str());
    for (const ByteString& item : entry.files) {
        if (!item.empty()) restoreListedFile(dir, systemDir, item);
    }
    const WideString saved = rollbackMarkerPath(dir);
    if (isExistingFile(saved)) {
        ensureDirectory(parentPath(marker));
        copyReplacing(saved, marker);
    }
    deleteDirectoryTree(dir);
    logWrite(L"Rollback completed for package: " + name);
    return true;
}

}  // namespace varnix
