#include "packages/install.h"

#include "manifest/sha256.h"
#include "net/http.h"
#include "packages/archive_check.h"
#include "packages/backup.h"
#include "packages/extraction.h"
#include "packages/store.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/path.h"
#include "platform/text_conversion.h"

namespace varnix {
namespace {

bool isMainPackage(const PackageEntry& entry) {
    for (const ByteString& value : {entry.name, entry.archive}) {
        if (value == "soft.zip" || value == "soft") return true;
    }
    return false;
}

// Ends every road: neither the archive nor the scratch directory outlives the call.
void discardDownload(FileHandle& heldArchive, const WideString& archivePath,
                     const WideString& downloadDir) {
    heldArchive.reset();
    deleteFile(archivePath);
    deleteDirectoryTree(downloadDir);
}

// The extracted files reach the disk before a marker can vouch for them.
void flushListedFiles(const PackagePaths& paths) {
    for (const ListedItem& item : paths.listed)
        flushFile(paths.inSystem(item));
}

}  // namespace

bool installPackage(const WideString& rootDir, const WideString& systemDir,
                    const PackageEntry& entry, WideString& errorText,
                    DownloadAnnouncement announce) {
    const PackagePaths paths = packagePaths(rootDir, systemDir, entry);
    const WideString& name = paths.name;
    logWrite(L"Install package started: " + name);

    const WideString downloadDir = downloadDirectory(rootDir);
    deleteDirectoryTree(downloadDir);
    // A link in place of the scratch directory that cannot be removed would lead the download
    // and its clean-up into the link's target; the download then fails before it begins.
    const bool downloadDirReady = ensureRealDirectory(downloadDir);
    ensureDirectory(systemDir);
    ensureDirectory(packageStateDirectory(systemDir));

    const WideString& archivePath = paths.archivePath;
    const WideString& url = paths.url;
    announce(isMainPackage(entry) ? L"Загрузка пакета обновления" : L"Загрузка пакета",
             L"Пакет: " + name);

    logWrite(L"Downloading package: " + name + L" / " + url);
    if (!downloadDirReady) errorText = L"Не удалось создать файл: " + archivePath;
    if (!downloadDirReady || !downloadToFile(url, archivePath, &errorText)) {
        logWrite(L"Package download failed: " + name + L" / " + errorText);
        deleteDirectoryTree(downloadDir);
        return false;
    }

    // Held from the hash until PowerShell has exited, so nothing can swap the archive between.
    FileHandle heldArchive = holdArchive(archivePath);
    const ByteString actual = heldArchive ? sha256OpenFile(heldArchive.get()) : ByteString();
    const ByteString expected = toLowerAscii(entry.sha256);
    logWrite(L"Package hash: " + name + L" expected=" + utf8ToWide(expected) + L" actual=" +
             utf8ToWide(actual));
    if (actual.empty() || actual != expected) {
        errorText = L"SHA256 не совпал для пакета: " + name + L"\nОжидалось: " +
                    utf8ToWide(expected) + L"\nПолучено: " + utf8ToWide(actual);
        logWrite(L"Package hash mismatch: " + name);
        discardDownload(heldArchive, archivePath, downloadDir);
        return false;
    }

    // The directory is read through the held handle, so the names checked here are the names
    // PowerShell extracts. A refused archive leaves everything as it was: nothing to restore.
    ArchiveDirectory directory;
    if (!readPackageArchive(heldArchive, paths, entry.name, directory, errorText)) {
        discardDownload(heldArchive, archivePath, downloadDir);
        return false;
    }

    if (!backupPackage(paths, errorText)) {
        logWrite(L"Rollback backup failed: " + name + L" / " + errorText);
        discardDownload(heldArchive, archivePath, downloadDir);
        return false;
    }

    // From here on files are rewritten, so the marker stops vouching for them: a kill, a log-off
    // or a power cut during the extraction leaves a package that counts as not installed. The
    // backup holds the marker, and only a finished installation writes it again.
    const WideString& marker = paths.marker;
    forceDeleteFile(marker);
    logWrite(L"Extracting package: " + name);
    if (!extractArchive(archivePath, systemDir, errorText) ||
        !extractedFilesMatchArchive(directory, paths, errorText)) {
        logWrite(L"Package extraction failed: " + name + L" / " + errorText);
        restorePackage(paths);
        discardDownload(heldArchive, archivePath, downloadDir);
        return false;
    }

    flushListedFiles(paths);
    replaceFileDurably(marker, expected);
    discardDownload(heldArchive, archivePath, downloadDir);
    logWrite(L"Install package completed: " + name);
    return true;
}

}  // namespace varnix
