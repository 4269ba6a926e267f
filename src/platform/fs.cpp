#include "platform/fs.h"

#include <windows.h>

#include "platform/handle.h"
#include "platform/path.h"
#include "varnix/value_rules.h"

namespace varnix {

WideString win32ErrorText(uint32_t code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    LocalMemory owner(buffer);
    WideString text;
    if (buffer != nullptr && length > 0) text.assign(buffer);
    if (text.empty()) text = L"Код ошибки: " + decimal(code);
    return text;
}

WideString lastErrorText() {
    return win32ErrorText(GetLastError());
}

bool isExistingFile(const WideString& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool isExistingDirectory(const WideString& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void forceDeleteFile(const WideString& path) {
    // Attributes belong to the file, not to its name: clearing them only when the deletion
    // needs it leaves another hard link of the file as it was.
    if (DeleteFileW(path.c_str())) return;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
}

bool deleteFile(const WideString& path) {
    return DeleteFileW(path.c_str()) != 0;
}

bool copyFileReplacing(const WideString& from, const WideString& to) {
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != 0;
}

bool clearAttributes(const WideString& path) {
    return SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL) != 0;
}

void copyAttributes(const WideString& from, const WideString& to) {
    SetFileAttributesW(to.c_str(), GetFileAttributesW(from.c_str()));
}

bool hasPlainAttributes(const WideString& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    const DWORD flags = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                        FILE_ATTRIBUTE_DIRECTORY;
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & flags);
}

WideString longPathName(const WideString& path) {
    const DWORD needed = GetLongPathNameW(path.c_str(), nullptr, 0);
    if (needed == 0) return path;
    WideString result(needed, L'\0');
    const DWORD length = GetLongPathNameW(path.c_str(), result.data(), needed);
    if (length == 0 || length >= needed) return path;
    result.resize(length);
    return result;
}

bool createHardLink(const WideString& existing, const WideString& link) {
    return CreateHardLinkW(link.c_str(), existing.c_str(), nullptr) != 0;
}

bool createHardLinkIfDeletable(const WideString& existing, const WideString& link) {
    // Held until the link exists, so nobody can take the file in between.
    FileHandle deletable(CreateFileW(existing.c_str(), GENERIC_READ | DELETE,
                                     FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    return deletable && createHardLink(existing, link);
}

bool isSameFile(const WideString& first, const WideString& second) {
    BY_HANDLE_FILE_INFORMATION info[2]{};
    const WideString* paths[2] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        FileHandle file(CreateFileW(paths[i]->c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file || !GetFileInformationByHandle(file.get(), &info[i])) return false;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
           info[0].nFileIndexLow == info[1].nFileIndexLow;
}

namespace {

// FileIdInfo of GetFileInformationByHandleEx, from Windows 8 on; declared here because the
// build targets Windows 7, where the call fails and the file index stands in.
constexpr int kFileIdInfoClass = 18;
struct FileIdInfo {
    ULONGLONG volumeSerialNumber;
    BYTE fileId[16];
};

ByteString identityBytes(uint32_t volumeSerial, const BYTE (&fileId)[16]) {
    ByteString bytes;
    for (int shift = 0; shift < 32; shift += 8)
        bytes += static_cast<char>(volumeSerial >> shift);
    bytes.append(reinterpret_cast<const char*>(fileId), sizeof fileId);
    return bytes;
}

bool isZero(const BYTE (&fileId)[16]) {
    for (const BYTE b : fileId) {
        if (b != 0) return false;
    }
    return true;
}

}  // namespace

// Both roads give the same bytes for one directory on NTFS: the 64-bit file index is the low
// half of its 128-bit ID, and the short volume serial the low half of the long one.
ByteString fileIdentity(const WideString& path) {
    FileHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) return {};
    FileIdInfo idInfo{};
    if (GetFileInformationByHandleEx(file.get(),
                                     static_cast<FILE_INFO_BY_HANDLE_CLASS>(kFileIdInfoClass),
                                     &idInfo, sizeof idInfo) &&
        !isZero(idInfo.fileId)) {
        return identityBytes(static_cast<uint32_t>(idInfo.volumeSerialNumber), idInfo.fileId);
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.get(), &info)) return {};
    BYTE fileId[16]{};
    const uint64_t index = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    for (int i = 0; i < 8; ++i)
        fileId[i] = static_cast<BYTE>(index >> (8 * i));
    if (isZero(fileId)) return {};
    return identityBytes(info.dwVolumeSerialNumber, fileId);
}

bool ensureDirectory(const WideString& path) {
    if (path.empty()) return false;
    if (isExistingDirectory(path)) return true;
    const size_t separator = path.find_last_of(L"\\/");
    // A separator at position 2 or less is a drive root's: roots are never created.
    if (separator != WideString::npos && separator > 2) {
        ensureDirectory(path.substr(0, separator));
    }
    if (CreateDirectoryW(path.c_str(), nullptr)) return true;
    return GetLastError() == ERROR_ALREADY_EXISTS;
}

namespace {

// The attributes of the entry at `path` and, for a reparse point, its tag: GetFileAttributesW
// has no tag, and under Wine FileAttributeTagInfo drops the reparse bit, so the tag comes from
// the directory listing of the entry itself. 0 where it cannot be read (a drive root, a name
// FindFirstFileW would take for a pattern): such a reparse point counts as a link.
struct EntryKind {
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    DWORD reparseTag = 0;

    bool exists() const { return attributes != INVALID_FILE_ATTRIBUTES; }
    bool directory() const { return exists() && (attributes & FILE_ATTRIBUTE_DIRECTORY); }
    bool link() const { return exists() && isLinkEntry(attributes, reparseTag); }
};

EntryKind entryKind(const WideString& path) {
    EntryKind kind;
    kind.attributes = GetFileAttributesW(path.c_str());
    if (!kind.exists() || !(kind.attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return kind;
    if (path.find_first_of(L"*?<>\"") != WideString::npos) return kind;
    // "C:\dir\" lists nothing; the entry is "C:\dir".
    WideString entryPath = path;
    while (entryPath.size() > 3 && (entryPath.back() == L'\\' || entryPath.back() == L'/'))
        entryPath.pop_back();
    WIN32_FIND_DATAW entry{};
    FindHandle listing(FindFirstFileW(entryPath.c_str(), &entry));
    if (listing) kind.reparseTag = entry.dwReserved0;
    return kind;
}

// An entry of a directory listing: FindFirstFileW and FindNextFileW give the tag with it.
EntryKind entryKind(const WIN32_FIND_DATAW& entry) {
    return {entry.dwFileAttributes, entry.dwReserved0};
}

void deleteTreeEntry(const WideString& path, const EntryKind& kind) {
    if (kind.directory() && kind.link()) {
        // A junction or directory link: remove the link itself, never what it points to.
        RemoveDirectoryW(path.c_str());
    } else if (kind.link()) {
        DeleteFileW(path.c_str());  // clearing attributes would reach the link's target
    } else if (kind.directory()) {
        deleteDirectoryTree(path);
    } else {
        forceDeleteFile(path);
    }
}

}  // namespace

bool deleteDirectoryTree(const WideString& path) {
    if (path.empty()) return true;
    const EntryKind kind = entryKind(path);
    if (!kind.directory()) return true;
    if (kind.link()) return RemoveDirectoryW(path.c_str()) != 0;

    WIN32_FIND_DATAW entry{};
    FindHandle listing(FindFirstFileW(joinPath(path, L"*").c_str(), &entry));
    if (!listing) return false;
    do {
        const WideString name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        deleteTreeEntry(joinPath(path, name), entryKind(entry));
    } while (FindNextFileW(listing.get(), &entry));
    listing.reset();
    return RemoveDirectoryW(path.c_str()) != 0;
}

bool writeWholeFile(const WideString& path, const ByteString& bytes, bool flush) {
    ensureDirectory(parentPath(path));
    if (bytes.size() > MAXDWORD) return false;
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    if (!ok || written != bytes.size()) return false;
    return !flush || FlushFileBuffers(file.get());
}

bool flushFile(const WideString& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    // FlushFileBuffers wants a handle with write access, which a read-only file refuses. Its
    // read-only flag is lifted for the moment of the flush and put back: the data are what
    // matters here, and the file keeps the attributes the package gave it.
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly) SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    bool flushed = false;
    {
        FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        flushed = file && FlushFileBuffers(file.get());
    }
    if (readOnly) SetFileAttributesW(path.c_str(), attributes);
    return flushed;
}

WideString durableWriteTemporary(const WideString& path) {
    const std::string_view suffix = kDurableTemporarySuffix;
    return path + WideString(suffix.begin(), suffix.end());
}

bool replaceFileDurably(const WideString& path, const ByteString& bytes) {
    const WideString temporary = durableWriteTemporary(path);
    forceDeleteFile(temporary);
    const bool written = writeWholeFile(temporary, bytes, true);
    // A read-only file refuses a rename over it: without this, a protected file (a marker, the
    // stored serial) would keep its old bytes for ever.
    if (written) SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (written && MoveFileExW(temporary.c_str(), path.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    const DWORD error = GetLastError();  // the caller's lastErrorText() names the failed step
    forceDeleteFile(temporary);
    SetLastError(error);
    return false;
}

bool isLinkEntry(uint32_t attributes, uint32_t reparseTag) {
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    return reparseTag == 0 || IsReparseTagNameSurrogate(reparseTag);
}

bool removeLink(const WideString& path) {
    const EntryKind kind = entryKind(path);
    if (!kind.link()) return true;
    if (kind.directory()) {
        RemoveDirectoryW(path.c_str());
    } else {
        DeleteFileW(path.c_str());
    }
    return !entryKind(path).link();
}

bool isRealDirectory(const WideString& path) {
    const EntryKind kind = entryKind(path);
    return kind.directory() && !kind.link();
}

bool ensureRealDirectory(const WideString& path) {
    if (!removeLink(path)) return false;
    ensureDirectory(path);
    return isRealDirectory(path);
}

std::vector<WideString> realSubdirectories(const WideString& path) {
    std::vector<WideString> names;
    WIN32_FIND_DATAW entry{};
    FindHandle listing(FindFirstFileW(joinPath(path, L"*").c_str(), &entry));
    if (!listing) return names;
    do {
        const WideString name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const EntryKind kind = entryKind(entry);
        if (kind.directory() && !kind.link()) names.push_back(name);
    } while (FindNextFileW(listing.get(), &entry));
    return names;
}

ByteString readWholeFile(const WideString& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    ByteString content;
    if (!file) return content;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr) && read > 0) {
        content.append(chunk, read);
    }
    return content;
}

}  // namespace varnix
