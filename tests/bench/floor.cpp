// The floor of the performance bench: the least a launcher must do, with nothing else around it.
//   floor.exe start SITE_HOST APP_PATH   two HTTPS requests (manifest, signature), the signature
//                                        check, then CreateProcessW of APP_PATH
//   floor.exe download URL PATH          one HTTPS download to a file
//   floor.exe hash PATH                  SHA-256 of a file with CNG
// Each prints the milliseconds its work took on standard output.
#include <windows.h>

#include <cstdio>
#include <string>

#include "manifest/load_manifest.h"
#include "manifest/sha256.h"
#include "net/http.h"

using namespace varnix;

namespace {

double nowMs() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

int start(const std::wstring& host, std::wstring app) {
    const std::wstring base = L"https://" + host + L"/varnix/repository";
    ByteString manifest, signature;
    std::wstring error;
    if (!downloadToMemory(base + L"/manifest.txt", manifest, nullptr) ||
        !downloadToMemory(base + L"/manifest.txt.sig", signature, nullptr) ||
        !verifyManifestSignature(manifest, signature, error)) {
        return 1;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::wstring commandLine = L"\"" + app + L"\"";
    if (!CreateProcessW(app.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &info)) {
        return 1;
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    const std::wstring mode = argv[1];
    const double begin = nowMs();
    int result = 2;
    if (mode == L"start" && argc == 4) result = start(argv[2], argv[3]);
    if (mode == L"download" && argc == 4)
        result = downloadToFile(argv[2], argv[3], nullptr) ? 0 : 1;
    if (mode == L"hash" && argc == 3) result = sha256File(argv[2]).empty() ? 1 : 0;
    std::printf("%.1f\n", nowMs() - begin);
    return result;
}
