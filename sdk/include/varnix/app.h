#pragma once
/* Varnix.exe's half of the contract with VarnixLauncher.exe. Header-only; C++17 and the Windows
 * headers, nothing else. Read docs/application.md first: it explains every trap named below.
 *
 * C++ (namespace varnix::app):
 *   startedByLauncher()            VARNIX_LAUNCH_TOKEN is set and equals launch_guard.token
 *   writeDependencyRequest(packages, reason, missing)
 *                                  writes dependency_request.txt beside the executable
 *   requestPackagesAndExit(packages, reason, missing)
 *                                  writes the request and exits with 85; returns only on failure
 *   restartThroughLauncher(arguments)
 *                                  starts ..\VarnixLauncher.exe, which waits for this process to
 *                                  end; the caller then exits
 *   formatDependencyRequest(...)   the file's bytes without touching the disk (portable part)
 *
 * C: include this header anywhere and call the varnix_* functions of the extern "C" section; in
 * exactly one C++ file of the program, define VARNIX_APP_IMPLEMENTATION before including it. The
 * C functions take UTF-8 texts and return a VarnixRequestResult as int.
 *
 * Requests are refused, never "repaired"; the result says which part the launcher would have read
 * differently. Package names must pass varnix::isValidPackageName and may not hold ";" or blanks at
 * either end; missing items may not hold ";"; no value may hold a line break, begin or end with a
 * blank or tab, or be invalid UTF-8. Names are matched case-sensitively by the launcher.
 */

#include "varnix/contract.h"

enum VarnixRequestResult {
    VARNIX_REQUEST_WRITTEN = 0,
    VARNIX_REQUEST_NO_PACKAGE = 1,      /* the list of packages is empty */
    VARNIX_REQUEST_INVALID_NAME = 2,    /* a name the launcher would refuse or read differently */
    VARNIX_REQUEST_INVALID_REASON = 3,  /* line break, blank at either end, not UTF-8 */
    VARNIX_REQUEST_INVALID_MISSING = 4, /* ";" in an item, line break, blank at either end */
    VARNIX_REQUEST_NOT_WRITTEN = 5      /* the file system refused; GetLastError() tells why */
};

#ifdef _WIN32
#include <windows.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif
int varnix_started_by_launcher(void);
int varnix_write_dependency_request(const char* const* packages, size_t packageCount,
                                    const char* reason, const char* const* missing,
                                    size_t missingCount);
int varnix_request_packages_and_exit(const char* const* packages, size_t packageCount,
                                     const char* reason, const char* const* missing,
                                     size_t missingCount);
int varnix_restart_through_launcher(const wchar_t* arguments);
#ifdef __cplusplus
}
#endif
#endif /* _WIN32 */

#ifdef __cplusplus
#include <string>
#include <string_view>
#include <vector>

#include "varnix/control_characters.h"
#include "varnix/package_names.h"

namespace varnix::app {

using RequestResult = VarnixRequestResult;

namespace detail {

inline bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 1;
        unsigned long point = lead;
        if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            point = lead & 0x07u;
        } else if (lead >= 0xE0) {
            length = lead <= 0xEF ? 3 : 0;
            point = lead & 0x0Fu;
        } else if (lead >= 0xC2) {
            length = 2;
            point = lead & 0x1Fu;
        } else if (lead >= 0x80) {
            length = 0;
        }
        if (length == 0 || text.size() - i < length) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0u) != 0x80u) return false;
            point = (point << 6) | (next & 0x3Fu);
        }
        const bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
        if (overlong || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

inline bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// The launcher trims blanks and tabs off each line and each value, reads a line break as the end
// of the line and shows control characters as "?": a value that depends on any of these would not
// arrive as written.
inline bool survivesOneLine(std::string_view value) {
    if (containsControlCharacter(value)) return false;
    if (!value.empty() && (isBlank(value.front()) || isBlank(value.back()))) return false;
    return isValidUtf8(value);
}

inline std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i)
        text += (i ? ";" : "") + items[i];
    return text;
}

}  // namespace detail

// The bytes of dependency_request.txt for this request, in `text`; nothing else is touched.
// One "packages=" line, a "reason=" line when the reason is not empty, a "missing=" line when
// the list is not empty; LF line ends, no byte-order mark.
inline RequestResult formatDependencyRequest(const std::vector<std::string>& packages,
                                             std::string_view reason,
                                             const std::vector<std::string>& missing,
                                             std::string& text) {
    text.clear();
    if (packages.empty()) return VARNIX_REQUEST_NO_PACKAGE;
    for (const std::string& name : packages) {
        // The launcher splits "packages=" at ";" and keeps the items' blanks ("a; b" asks for
        // " b"): a valid package name neither starts nor ends with white space.
        if (!isValidPackageName(name) || name.find(';') != std::string::npos ||
            !detail::isValidUtf8(name) || containsControlCharacter(name)) {
            return VARNIX_REQUEST_INVALID_NAME;
        }
    }
    if (!detail::survivesOneLine(reason)) return VARNIX_REQUEST_INVALID_REASON;
    for (const std::string& item : missing) {
        if (item.find(';') != std::string::npos) return VARNIX_REQUEST_INVALID_MISSING;
    }
    const std::string missingValue = detail::joined(missing);
    if (!detail::survivesOneLine(missingValue)) return VARNIX_REQUEST_INVALID_MISSING;

    text = "packages=" + detail::joined(packages) + "\n";
    if (!reason.empty()) text += "reason=" + std::string(reason) + "\n";
    if (!missing.empty()) text += "missing=" + missingValue + "\n";
    return VARNIX_REQUEST_WRITTEN;
}

}  // namespace varnix::app

#ifdef _WIN32
namespace varnix::app {
namespace detail {

class OwnedHandle {
  public:
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    ~OwnedHandle() {
        if (valid()) CloseHandle(handle_);
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle_;
};

// The directory of this executable, without a trailing separator: the launcher's system directory.
inline std::wstring executableDirectory() {
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(length);
    const std::size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring(L".") : path.substr(0, separator);
}

inline std::wstring parentDirectory(const std::wstring& directory) {
    const std::size_t separator = directory.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring(L".") : directory.substr(0, separator);
}

inline bool writeFileReplacing(const std::wstring& path, const std::string& bytes) {
    const std::wstring temporary = path + L".tmp";
    {
        OwnedHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) return false;
        DWORD written = 0;
        const BOOL ok = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                  &written, nullptr);
        if (!ok || written != bytes.size() || !FlushFileBuffers(file.get())) {
            const DWORD error = ok ? ERROR_WRITE_FAULT : GetLastError();
            DeleteFileW(temporary.c_str());
            SetLastError(error);
            return false;
        }
    }
    // A read-only request left by an earlier run must not block this one.
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (MoveFileExW(temporary.c_str(), path.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    const DWORD error = GetLastError();
    DeleteFileW(temporary.c_str());
    SetLastError(error);
    return false;
}

}  // namespace detail

// True when VARNIX_LAUNCH_TOKEN is set and equals the token file beside this executable: the
// launcher started this process (or an ancestor that it started: children inherit the variable).
// A hint for the application's own behaviour, not a security control.
inline bool startedByLauncher() {
    wchar_t variable[128] = {};
    const DWORD length = GetEnvironmentVariableW(VARNIX_TOKEN_VARIABLE, variable, 128);
    if (length == 0 || length >= 128) return false;
    const std::wstring path = detail::executableDirectory() + L"\\" + VARNIX_TOKEN_FILE_NAME;
    detail::OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    char content[129] = {};
    DWORD read = 0;
    if (!ReadFile(file.get(), content, 128, &read, nullptr) || read != length) return false;
    for (DWORD i = 0; i < length; ++i) {
        if (static_cast<wchar_t>(static_cast<unsigned char>(content[i])) != variable[i])
            return false;
    }
    return true;
}

// Writes dependency_request.txt into `directory` through a temporary file and a rename, so the
// launcher never reads half a request.
inline RequestResult writeDependencyRequestIn(const std::wstring& directory,
                                              const std::vector<std::string>& packages,
                                              std::string_view reason,
                                              const std::vector<std::string>& missing) {
    std::string text;
    const RequestResult result = formatDependencyRequest(packages, reason, missing, text);
    if (result != VARNIX_REQUEST_WRITTEN) return result;
    return detail::writeFileReplacing(directory + L"\\" + VARNIX_REQUEST_FILE_NAME, text)
               ? VARNIX_REQUEST_WRITTEN
               : VARNIX_REQUEST_NOT_WRITTEN;
}

// The request beside this executable, where the launcher reads it. Texts are UTF-8.
inline RequestResult writeDependencyRequest(const std::vector<std::string>& packages,
                                            std::string_view reason = {},
                                            const std::vector<std::string>& missing = {}) {
    return writeDependencyRequestIn(detail::executableDirectory(), packages, reason, missing);
}

// Writes the request and ends the process with exit code 85. Counts only within the launcher's
// first 1800 ms after starting this process: ask before any lengthy start-up work. Returns only
// when the request could not be written; the application then decides what to tell the user.
inline RequestResult requestPackagesAndExit(const std::vector<std::string>& packages,
                                            std::string_view reason = {},
                                            const std::vector<std::string>& missing = {}) {
    const RequestResult result = writeDependencyRequest(packages, reason, missing);
    if (result == VARNIX_REQUEST_WRITTEN) ExitProcess(VARNIX_EXIT_DEPENDENCY_REQUEST);
    return result;
}

// Starts the launcher of this installation (..\VarnixLauncher.exe from this executable) with
// VARNIX_RESTART_AFTER_PID set to this process's id, so the launcher waits for this process to
// end (at most 30 s) before it looks for a running Varnix.exe. `arguments` is appended to the
// launcher's command line as given (already quoted). Returns true when the launcher was created;
// the caller should then exit promptly. On false, GetLastError() holds the reason.
inline bool restartThroughLauncher(const std::wstring& arguments = {}) {
    const std::wstring root = detail::parentDirectory(detail::executableDirectory());
    const std::wstring launcher = root + L"\\" + VARNIX_LAUNCHER_FILE_NAME;
    std::wstring commandLine = L"\"" + launcher + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    const std::wstring processId = std::to_wstring(GetCurrentProcessId());
    // Set only around the creation: this process's other children must not inherit it.
    SetEnvironmentVariableW(VARNIX_RESTART_VARIABLE, processId.c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    const BOOL ok = CreateProcessW(launcher.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                   nullptr, root.c_str(), &startup, &created);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    SetEnvironmentVariableW(VARNIX_RESTART_VARIABLE, nullptr);
    detail::OwnedHandle thread(created.hThread);
    detail::OwnedHandle process(created.hProcess);
    SetLastError(error);
    return ok != FALSE;
}

}  // namespace varnix::app

#ifdef VARNIX_APP_IMPLEMENTATION
namespace varnix::app::detail {
inline std::vector<std::string> textList(const char* const* items, size_t count) {
    std::vector<std::string> list;
    for (size_t i = 0; i < count; ++i)
        list.emplace_back(items[i] ? items[i] : "");
    return list;
}
}  // namespace varnix::app::detail

extern "C" int varnix_started_by_launcher(void) {
    return varnix::app::startedByLauncher() ? 1 : 0;
}

extern "C" int varnix_write_dependency_request(const char* const* packages, size_t packageCount,
                                               const char* reason, const char* const* missing,
                                               size_t missingCount) {
    using namespace varnix::app;
    return writeDependencyRequest(detail::textList(packages, packageCount), reason ? reason : "",
                                  detail::textList(missing, missingCount));
}

extern "C" int varnix_request_packages_and_exit(const char* const* packages, size_t packageCount,
                                                const char* reason, const char* const* missing,
                                                size_t missingCount) {
    using namespace varnix::app;
    return requestPackagesAndExit(detail::textList(packages, packageCount), reason ? reason : "",
                                  detail::textList(missing, missingCount));
}

extern "C" int varnix_restart_through_launcher(const wchar_t* arguments) {
    return varnix::app::restartThroughLauncher(arguments ? arguments : L"") ? 1 : 0;
}
#endif /* VARNIX_APP_IMPLEMENTATION */
#endif /* _WIN32 */
#endif /* __cplusplus */
