#include "setup/target_directory.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <vector>

#include "platform/fs.h"
#include "platform/handle.h"
#include "platform/path.h"

namespace varnix::setup {

namespace {

struct TaskMemoryTraits {
    using Value = PWSTR;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value p) noexcept { CoTaskMemFree(p); }
};
using TaskMemoryText = UniqueHandle<TaskMemoryTraits>;

constexpr wchar_t kWriteProbeName[] = L"varnix-setup-write-test.tmp";

WideString fullPath(const WideString& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    WideString full(needed, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    full.resize(written < needed ? written : 0);
    return full.empty() ? path : full;
}

WideString withoutLongPathPrefix(const WideString& path) {
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
    if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
    return path;
}

// The final path of an existing file or directory, or the path itself when it cannot be opened.
WideString finalPathOfExisting(const WideString& path) {
    FileHandle file(CreateFileW(path.c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) return path;
    const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    const DWORD needed = GetFinalPathNameByHandleW(file.get(), nullptr, 0, flags);
    if (needed == 0) return path;
    WideString final(needed, L'\0');
    const DWORD written = GetFinalPathNameByHandleW(file.get(), final.data(), needed, flags);
    if (written == 0 || written >= needed) return path;
    final.resize(written);
    return withoutLongPathPrefix(final);
}

WideString upperCase(WideString text) {
    if (!text.empty()) CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::vector<WideString> protectedDirectories() {
    std::vector<WideString> directories;
    for (const KNOWNFOLDERID* folder :
         {&FOLDERID_ProgramFiles, &FOLDERID_ProgramFilesX86, &FOLDERID_Windows}) {
        TaskMemoryText path;
        if (SUCCEEDED(SHGetKnownFolderPath(*folder, 0, nullptr, path.put())) && path) {
            directories.push_back(resolvedPath(path.get()));
        }
    }
    return directories;
}

bool isProtected(const WideString& directory) {
    const WideString target = upperCase(resolvedPath(directory));
    for (const WideString& protectedDirectory : protectedDirectories()) {
        if (isSameOrInsidePath(target, upperCase(protectedDirectory))) return true;
    }
    return false;
}

// Makes the missing directories of the path, outermost first; returns those it made.
std::vector<WideString> makeMissingDirectories(const WideString& directory) {
    std::vector<WideString> missing;
    for (WideString path = directory; !path.empty() && !isExistingDirectory(path);
         path = parentPath(path)) {
        missing.push_back(path);
        if (parentPath(path) == path) break;
    }
    std::vector<WideString> made;
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (!CreateDirectoryW(it->c_str(), nullptr)) break;
        made.push_back(*it);
    }
    return made;
}

bool canCreateAndDeleteFile(const WideString& directory) {
    const WideString probe = joinPath(directory, kWriteProbeName);
    if (!writeWholeFile(probe, "varnix")) return false;
    return deleteFile(probe);
}

}  // namespace

WideString resolvedPath(const WideString& path) {
    WideString existing = fullPath(path);
    WideString rest;
    while (GetFileAttributesW(existing.c_str()) == INVALID_FILE_ATTRIBUTES) {
        WideString parent = parentPath(existing);
        if (parent.empty()) return fullPath(path);
        rest = joinPath(existing.substr(parent.size() + 1), rest);
        // "C:" alone would name the drive's current directory, not its root.
        if (parent.size() == 2 && parent[1] == L':') parent += L'\\';
        if (parent == existing) return fullPath(path);
        existing = parent;
    }
    return joinPath(finalPathOfExisting(existing), rest);
}

TargetVerdict checkTargetDirectory(const WideString& directory) {
    const WideString full = fullPath(directory);
    if (isProtected(full)) return TargetVerdict::Protected;
    const std::vector<WideString> made = makeMissingDirectories(full);
    if (isExistingDirectory(full) && canCreateAndDeleteFile(full)) return TargetVerdict::Acceptable;
    for (auto it = made.rbegin(); it != made.rend(); ++it)
        RemoveDirectoryW(it->c_str());
    return TargetVerdict::Unwritable;
}

}  // namespace varnix::setup
