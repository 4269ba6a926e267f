// Stand-in for Windows PowerShell in the Wine prefix: understands exactly the Expand-Archive
// command that the launcher builds and extracts stored and deflated ZIP entries.
//
//   powershell.exe -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command
//       "Expand-Archive -LiteralPath '<zip>' -DestinationPath '<dir>' -Force"
//
// Exit code 0 on success, 1 on any failure (unknown command line, invalid archive, an entry that
// would land outside the destination, a file that cannot be written). Every run appends its
// command line to "powershell_runs.log" beside the program. "powershell_behavior.txt" beside it
// may hold "sleep_after=MS" (wait after extracting), "exit_code=N" (report N afterwards),
// "readonly=1" (leave the extracted files read-only) and "stall_in=ENTRY" (write the first half
// of that entry, append "stalled ENTRY" to the run log and wait for ever: a process killed in the
// middle of a file).
#include <windows.h>
#include <shellapi.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "json_writer.h"

using namespace varnix_test;

namespace {

struct Entry {
    std::string name;
    uint16_t method = 0;
    uint32_t crc = 0;
    uint32_t compressedSize = 0;
    uint32_t size = 0;
    uint32_t localHeaderOffset = 0;
};

uint16_t read16(const std::string& data, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(data[at]) |
                                 static_cast<unsigned char>(data[at + 1]) << 8);
}

uint32_t read32(const std::string& data, size_t at) {
    return static_cast<uint32_t>(read16(data, at)) | static_cast<uint32_t>(read16(data, at + 2))
                                                         << 16;
}

bool parseLiteral(const std::wstring& text, size_t& at, std::wstring& value) {
    if (at >= text.size() || text[at] != L'\'') return false;
    ++at;
    value.clear();
    while (at < text.size()) {
        if (text[at] == L'\'') {
            if (at + 1 < text.size() && text[at + 1] == L'\'') {
                value += L'\'';
                at += 2;
                continue;
            }
            ++at;
            return true;
        }
        value += text[at++];
    }
    return false;
}

bool expect(const std::wstring& text, size_t& at, const std::wstring& word) {
    if (text.compare(at, word.size(), word) != 0) return false;
    at += word.size();
    return true;
}

bool parseCommand(std::wstring& archive, std::wstring& destination) {
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr) return false;
    std::vector<std::wstring> args(argv, argv + count);
    LocalFree(argv);
    const std::vector<std::wstring> options = {L"-NoProfile", L"-NonInteractive",
                                               L"-ExecutionPolicy", L"Bypass", L"-Command"};
    if (args.size() != options.size() + 2) return false;
    for (size_t i = 0; i < options.size(); ++i) {
        if (args[i + 1] != options[i]) return false;
    }
    const std::wstring& command = args.back();
    size_t at = 0;
    return expect(command, at, L"Expand-Archive -LiteralPath ") &&
           parseLiteral(command, at, archive) && expect(command, at, L" -DestinationPath ") &&
           parseLiteral(command, at, destination) && expect(command, at, L" -Force") &&
           at == command.size();
}

bool readCentralDirectory(const std::string& zip, std::vector<Entry>& entries) {
    if (zip.size() < 22) return false;
    size_t end = std::string::npos;
    for (size_t at = zip.size() - 22 + 1; at-- > 0 && zip.size() - at <= 22 + 65535;) {
        if (read32(zip, at) == 0x06054b50) {
            end = at;
            break;
        }
    }
    if (end == std::string::npos) return false;
    const uint16_t count = read16(zip, end + 10);
    size_t at = read32(zip, end + 16);
    for (uint16_t i = 0; i < count; ++i) {
        if (at + 46 > zip.size() || read32(zip, at) != 0x02014b50) return false;
        Entry entry;
        entry.method = read16(zip, at + 10);
        entry.crc = read32(zip, at + 16);
        entry.compressedSize = read32(zip, at + 20);
        entry.size = read32(zip, at + 24);
        const uint16_t nameLength = read16(zip, at + 28);
        const uint16_t extraLength = read16(zip, at + 30);
        const uint16_t commentLength = read16(zip, at + 32);
        entry.localHeaderOffset = read32(zip, at + 42);
        if (at + 46 + nameLength > zip.size()) return false;
        entry.name = zip.substr(at + 46, nameLength);
        entries.push_back(entry);
        at += 46 + nameLength + extraLength + commentLength;
    }
    return true;
}

bool entryData(const std::string& zip, const Entry& entry, std::string& data) {
    const size_t header = entry.localHeaderOffset;
    if (header + 30 > zip.size() || read32(zip, header) != 0x04034b50) return false;
    const size_t start = header + 30 + read16(zip, header + 26) + read16(zip, header + 28);
    if (start + entry.compressedSize > zip.size()) return false;
    const char* source = zip.data() + start;
    if (entry.method == 0) {
        data.assign(source, entry.compressedSize);
    } else if (entry.method == 8) {
        data.assign(entry.size, '\0');
        z_stream stream{};
        if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return false;
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(source));
        stream.avail_in = entry.compressedSize;
        stream.next_out = reinterpret_cast<Bytef*>(data.data());
        stream.avail_out = entry.size;
        const int status = inflate(&stream, Z_FINISH);
        inflateEnd(&stream);
        if (status != Z_STREAM_END || stream.total_out != entry.size) return false;
    } else {
        return false;
    }
    return crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())) ==
           entry.crc;
}

bool escapes(const std::string& name) {
    if (name.empty() || name[0] == '/' || name[0] == '\\') return true;
    if (name.size() > 1 && name[1] == ':') return true;
    std::string part;
    for (char c : name + "/") {
        if (c == '/' || c == '\\') {
            if (part == "..") return true;
            part.clear();
        } else {
            part += c;
        }
    }
    return false;
}

void makeDirectories(const std::wstring& path) {
    for (size_t at = path.find_first_of(L"\\/", 3); at != std::wstring::npos;
         at = path.find_first_of(L"\\/", at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(path.c_str(), nullptr);
}

bool writeFile(const std::wstring& path, const std::string& data) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == data.size();
}

bool g_readOnly = false;
std::string g_stallIn;
std::wstring g_runsLog;

[[noreturn]] void stallHalfway(const std::wstring& target, const std::string& data) {
    writeFile(target, data.substr(0, data.size() / 2));
    appendLine(g_runsLog, "stalled " + g_stallIn);
    for (;;)
        Sleep(INFINITE);
}

bool extract(const std::wstring& archivePath, const std::wstring& destination) {
    bool exists = false;
    const std::string zip = readFileBytes(archivePath, &exists);
    std::vector<Entry> entries;
    if (!exists || !readCentralDirectory(zip, entries)) return false;
    for (const Entry& entry : entries) {
        if (escapes(entry.name)) return false;  // refused before anything is written
    }
    makeDirectories(destination);
    for (const Entry& entry : entries) {
        std::wstring target = destination + L"\\" + fromUtf8(entry.name);
        for (wchar_t& c : target) {
            if (c == L'/') c = L'\\';
        }
        if (target.back() == L'\\') {
            makeDirectories(target.substr(0, target.size() - 1));
            continue;
        }
        std::string data;
        if (!entryData(zip, entry, data)) return false;
        makeDirectories(target.substr(0, target.find_last_of(L'\\')));
        if (!g_stallIn.empty() && entry.name == g_stallIn) stallHalfway(target, data);
        if (!writeFile(target, data)) return false;
        if (g_readOnly) SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY);
    }
    return true;
}

std::wstring ownDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    std::wstring path(buffer);
    return path.substr(0, path.find_last_of(L"\\/"));
}

}  // namespace

int wmain() {
    const std::wstring dir = ownDirectory();
    g_runsLog = dir + L"\\powershell_runs.log";
    appendLine(g_runsLog, toUtf8(GetCommandLineW()));
    std::vector<std::string> words;
    std::istringstream behaviour(readFileBytes(dir + L"\\powershell_behavior.txt"));
    for (std::string word; behaviour >> word;)
        words.push_back(word);
    for (const std::string& word : words) {
        g_readOnly |= word == "readonly=1";
        if (word.rfind("stall_in=", 0) == 0) g_stallIn = word.substr(9);
    }

    std::wstring archive, destination;
    int result = parseCommand(archive, destination) && extract(archive, destination) ? 0 : 1;
    for (const std::string& word : words) {
        if (word.rfind("sleep_after=", 0) == 0) Sleep(std::strtoul(word.c_str() + 12, nullptr, 10));
        if (word.rfind("exit_code=", 0) == 0) result = std::atoi(word.c_str() + 10);
    }
    return result;
}
