#pragma once
// A fresh scratch directory per test, removed afterwards; host links for the tests of links.

#include <windows.h>

#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/text_conversion.h"

namespace varnix_test {

class ScratchDirectory {
  public:
    ScratchDirectory() {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        static unsigned counter = 0;
        path_ = varnix::joinPath(temp, L"varnix_unit_" + std::to_wstring(GetCurrentProcessId()) +
                                           L"_" + std::to_wstring(++counter));
        varnix::deleteDirectoryTree(path_);
        varnix::ensureDirectory(path_);
    }
    ~ScratchDirectory() { varnix::deleteDirectoryTree(path_); }

    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return varnix::joinPath(path_, name); }

  private:
    std::wstring path_;
};

// Symbolic links of the host, made by its own ln and removed again by its rm when the object
// goes: under Wine CreateSymbolicLinkW makes nothing, and a host link is what a link of the user's
// looks like to the launcher there (a reparse point with tag 0 when it leads to a directory; one
// that leads to a non-empty directory cannot be removed from the Windows side). Wine converts the
// names (kernel32 exports its conversions under Wine only) and starts the host programs itself;
// a process started that way has no handle, so each result is awaited.
class HostLinks {
  public:
    HostLinks() = default;
    HostLinks(const HostLinks&) = delete;
    HostLinks& operator=(const HostLinks&) = delete;
    ~HostLinks() {
        for (const std::wstring& link : links_) {
            if (!run("/bin/rm", {"-f", hostPath(link)})) continue;
            awaitAttributes(link, false);
        }
    }

    // A link at `link` (whose directory exists) to `target`. False when none appeared.
    bool make(const std::wstring& link, const std::wstring& target) {
        if (!run("/bin/ln", {"-s", hostPath(target), hostPath(link)})) return false;
        links_.push_back(link);
        return awaitAttributes(link, true);
    }

  private:
    template <typename Function>
    static Function wineExport(const char* name) {
        const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(kernel, name)));
    }

    // The host's path: the directory's converted by Wine, the last name as it is (it may not
    // exist yet).
    static std::string hostPath(const std::wstring& path) {
        using UnixName = char*(CDECL*)(const wchar_t*);
        const auto unixName = wineExport<UnixName>("wine_get_unix_file_name");
        const size_t separator = path.find_last_of(L'\\');
        if (unixName == nullptr || separator == std::wstring::npos) return {};
        char* directory = unixName(path.substr(0, separator).c_str());
        std::string text = directory != nullptr ? directory : "";
        HeapFree(GetProcessHeap(), 0, directory);
        return text + "/" + varnix::wideToUtf8(path.substr(separator + 1));
    }

    static bool run(const char* program, const std::vector<std::string>& arguments) {
        using DosName = wchar_t*(CDECL*)(const char*);
        const auto dosName = wineExport<DosName>("wine_get_dos_file_name");
        wchar_t* windowsProgram = dosName != nullptr ? dosName(program) : nullptr;
        if (windowsProgram == nullptr) return false;
        const std::wstring application = windowsProgram;
        HeapFree(GetProcessHeap(), 0, windowsProgram);
        std::string line = program;
        for (const std::string& argument : arguments) {
            if (argument.empty()) return false;
            line += " \"" + argument + "\"";
        }
        std::wstring commandLine = varnix::utf8ToWide(line);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                            nullptr, nullptr, &startup, &process)) {
            return false;
        }
        if (process.hThread != nullptr) CloseHandle(process.hThread);
        if (process.hProcess != nullptr) CloseHandle(process.hProcess);
        return true;
    }

    // Wine shows a link to a directory as a reparse point, one to a file as that file.
    static bool awaitAttributes(const std::wstring& path, bool present) {
        for (int attempt = 0; attempt < 200; ++attempt) {
            if ((GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) == present)
                return true;
            Sleep(25);
        }
        return false;
    }

    std::vector<std::wstring> links_;
};

// Wine's own spelling of a prefix path through its Z: drive (the Unix root); empty on Windows.
inline std::wstring wineUnixRootSpelling(const std::wstring& path) {
    using UnixName = char*(__cdecl*)(const wchar_t*);
    const auto toUnix = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (toUnix == nullptr) return {};
    char* unixPath = toUnix(path.c_str());
    if (unixPath == nullptr) return {};
    std::wstring spelled = L"Z:" + varnix::utf8ToWide(unixPath);
    HeapFree(GetProcessHeap(), 0, unixPath);
    for (wchar_t& c : spelled) {
        if (c == L'/') c = L'\\';
    }
    return spelled;
}

inline std::wstring shortSpelling(const std::wstring& path) {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(buffer) : std::wstring();
}

}  // namespace varnix_test
