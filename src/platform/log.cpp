#include "platform/log.h"

#include <windows.h>

#include <cwchar>

#include "platform/fs.h"
#include "platform/handle.h"
#include "platform/path.h"
#include "platform/redact.h"
#include "platform/text_conversion.h"

namespace varnix {
namespace {

WideString g_logPath;
WideString g_siteHost;

WideString localTimestamp() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    wchar_t buffer[64] = {};
    swprintf(buffer, 64, L"%04hu-%02hu-%02hu %02hu:%02hu:%02hu.%03hu", now.wYear, now.wMonth,
             now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return buffer;
}

// Moves a generation one step older; a read-only generation moves too.
void shiftGeneration(const WideString& from, const WideString& to) {
    if (!isExistingFile(from)) return;
    SetFileAttributesW(from.c_str(), FILE_ATTRIBUTE_NORMAL);
    MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

void logSetSiteHost(const WideString& host) {
    g_siteHost = host;
}

void logSetPath(const WideString& path) {
    g_logPath = path;
}

void logRotate() noexcept {
    try {
        if (g_logPath.empty()) return;
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExW(g_logPath.c_str(), GetFileExInfoStandard, &data)) return;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return;
        const unsigned long long size =
            (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        if (size <= kLogRotationThreshold) return;

        const WideString directory = parentPath(g_logPath);
        if (directory.empty()) return;
        ensureDirectory(directory);
        const WideString old1 = joinPath(directory, L"launcher_old_1.log");
        const WideString old2 = joinPath(directory, L"launcher_old_2.log");
        const WideString old3 = joinPath(directory, L"launcher_old_3.log");
        if (isExistingFile(old3)) forceDeleteFile(old3);
        shiftGeneration(old2, old3);
        shiftGeneration(old1, old2);
        shiftGeneration(g_logPath, old1);
    } catch (...) {
        // Rotation is best effort; the launcher goes on with whatever file is there.
    }
}

void logWrite(const WideString& message) noexcept {
    try {
        if (g_logPath.empty()) return;
        ensureDirectory(parentPath(g_logPath));
        const WideString line = L"[" + localTimestamp() + L"] " + message + L"\r\n";
        const ByteString bytes = wideToUtf8(redactSiteUrls(line, g_siteHost));
        FileHandle file(CreateFileW(g_logPath.c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file || bytes.size() > MAXDWORD) return;
        DWORD written = 0;
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    } catch (...) {
        // A line that cannot be built (out of memory) is lost like one that cannot be written.
    }
}

}  // namespace varnix
