// Stand-in for Varnix.exe. It records what the launcher handed it and then behaves as the
// test asks in "stub_behavior.txt" beside it: one line per start (the last line repeats),
// blank-separated words:
//   exit=N      exit code (decimal or 0x...), default 0
//   sleep=MS    keep running this long first (ends early when "stub_stop" appears beside it)
//   exit_at=MS  keep running until MS after this process was created (same early end); timed
//               from the creation, not from the first instruction, so a slow start under load
//               does not move the moment the launcher's watch sees the exit
//   request=F   copy file F (beside the stub) to dependency_request.txt first (raw bytes)
//   ask=A,B     ask for packages A and B through the integration header and exit with 85; with
//   because=R   that reason and
//   missing=M,N those missing files; a request the header refuses falls through to exit=N
//   restart     restart through the launcher first (the header's "restart to update")
// Each start appends one JSON line to "stub_runs.jsonl" beside it. Everything the application's
// side of the contract covers goes through sdk/include/varnix/app.h, as a real Varnix.exe would.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "json_writer.h"
#include "varnix/app.h"

using namespace varnix_test;

namespace {

std::wstring ownDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    std::wstring path(buffer);
    return path.substr(0, path.find_last_of(L"\\/"));
}

std::wstring environmentValue(const wchar_t* name, bool& present) {
    std::vector<wchar_t> buffer(32767, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, buffer.data(), 32767);
    present = length > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    return buffer.data();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        result.push_back(line);
    }
    return result;
}

long long epochMilliseconds(const FILETIME& time) {
    const unsigned long long ticks =
        (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<long long>((ticks - 116444736000000000ULL) / 10000ULL);
}

std::vector<std::string> commaList(const std::string& text) {
    std::vector<std::string> items;
    std::istringstream stream(text);
    for (std::string item; std::getline(stream, item, ',');)
        items.push_back(item);
    return items;
}

long long nowMilliseconds() {
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    return epochMilliseconds(now);
}

long long createdMilliseconds() {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        return nowMilliseconds();
    }
    return epochMilliseconds(created);
}

std::string recordJson(const std::wstring& dir, long long startMs, long long createdMs) {
    std::string json = "{\"start_ms\":" + std::to_string(startMs);
    json += ",\"created_ms\":" + std::to_string(createdMs);
    json += ",\"pid\":" + std::to_string(GetCurrentProcessId());
    json += ",\"cmdline\":" + jsonString(GetCommandLineW());
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    json += ",\"argv\":[";
    for (int i = 0; i < count; ++i)
        json += (i ? "," : "") + jsonString(argv[i]);
    json += "]";
    LocalFree(argv);
    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    json += ",\"cwd\":" + jsonString(cwd);
    bool tokenPresent = false;
    const std::wstring token = environmentValue(VARNIX_TOKEN_VARIABLE, tokenPresent);
    json += ",\"token_env\":" + (tokenPresent ? jsonString(token) : std::string("null"));
    bool pathPresent = false;
    json += ",\"path\":" + jsonString(environmentValue(L"PATH", pathPresent));
    bool tokenFileExists = false;
    const std::string tokenFile =
        readFileBytes(dir + L"\\" + VARNIX_TOKEN_FILE_NAME, &tokenFileExists);
    json += ",\"token_file\":" +
            (tokenFileExists ? jsonString(fromUtf8(tokenFile)) : std::string("null"));
    json += std::string(",\"started_by_launcher\":") +
            (varnix::app::startedByLauncher() ? "true" : "false");
    bool restartPresent = false;
    const std::wstring restart = environmentValue(VARNIX_RESTART_VARIABLE, restartPresent);
    json += ",\"restart_env\":" + (restartPresent ? jsonString(restart) : std::string("null"));
    // What the launcher left in the root directory (its current directory) at this start.
    json += ",\"root_entries\":[";
    WIN32_FIND_DATAW entry{};
    HANDLE listing = FindFirstFileW(L"*", &entry);
    bool first = true;
    if (listing != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            json += (first ? "" : ",") + jsonString(name);
            first = false;
        } while (FindNextFileW(listing, &entry));
        FindClose(listing);
    }
    return json + "]}";
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const long long startMs = nowMilliseconds();
    const long long createdMs = createdMilliseconds();
    const std::wstring dir = ownDirectory();
    const std::wstring runsPath = dir + L"\\stub_runs.jsonl";
    const size_t startIndex = lines(readFileBytes(runsPath)).size();
    appendLine(runsPath, recordJson(dir, startMs, createdMs));

    const std::vector<std::string> behaviour = lines(readFileBytes(dir + L"\\stub_behavior.txt"));
    std::string line;
    if (!behaviour.empty()) line = behaviour[std::min(startIndex, behaviour.size() - 1)];

    unsigned long exitCode = 0;
    unsigned long sleepMs = 0;
    long long exitAtMs = -1;
    std::vector<std::string> asked;
    std::vector<std::string> missing;
    std::string reason;
    std::istringstream words(line);
    for (std::string word; words >> word;) {
        const size_t eq = word.find('=');
        const std::string key = word.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
        if (key == "exit") exitCode = std::strtoul(value.c_str(), nullptr, 0);
        if (key == "sleep") sleepMs = std::strtoul(value.c_str(), nullptr, 0);
        if (key == "exit_at") exitAtMs = std::strtoll(value.c_str(), nullptr, 0);
        if (key == "request") {
            CopyFileW((dir + L"\\" + fromUtf8(value)).c_str(),
                      (dir + L"\\" + VARNIX_REQUEST_FILE_NAME).c_str(), FALSE);
        }
        if (key == "ask") asked = commaList(value);
        if (key == "because") reason = value;
        if (key == "missing") missing = commaList(value);
        if (key == "restart") varnix::app::restartThroughLauncher();
    }
    if (!asked.empty()) varnix::app::requestPackagesAndExit(asked, reason, missing);
    const long long until = exitAtMs >= 0 ? createdMs + exitAtMs : nowMilliseconds() + sleepMs;
    const std::wstring stopPath = dir + L"\\stub_stop";
    for (long long left = until - nowMilliseconds(); left > 0; left = until - nowMilliseconds()) {
        if (GetFileAttributesW(stopPath.c_str()) != INVALID_FILE_ATTRIBUTES) break;
        Sleep(static_cast<DWORD>(std::min(left, 20LL)));
    }
    ExitProcess(static_cast<UINT>(exitCode));
}
