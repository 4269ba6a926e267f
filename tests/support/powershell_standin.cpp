// Stand-in for Windows PowerShell 5.1 in the Wine prefix. It runs exactly one statement,
//
//   Expand-Archive -LiteralPath '<zip>' -DestinationPath '<dir>' -Force
//
// and must fail wherever the real one fails, or it hides faults. What it models, and from where
// (written from the public sources as read, not copied; where a source could not be read, the
// behaviour comes from its public documentation and is marked so):
//
// powershell.exe (command line; its documented -Command rules)
//   - The arguments are split by the C runtime rules (CommandLineToArgvW); everything after
//     -Command is joined with blanks into one script. Only the options the launcher passes are
//     accepted; anything else fails with exit code 1.
//   - Exit code: 1 when the script fails to parse or hits a terminating error; else 0. The
//     exit code of -Command is taken from $?, and a non-terminating error that a command nested
//     in a script module's function writes leaves $? true in the caller (PowerShell issues #3629
//     and #10978): each non-terminating error of Expand-Archive below ends with exit code 0.
// PowerShell's tokenizer (System.Management.Automation.Language.Tokenizer, CharExtensions)
//   - Single-quoted strings open and close at any of the five single-quote characters U+0027,
//     U+2018, U+2019, U+201A and U+201B; inside one, any two of them in a row stand for one
//     literal quote (the second of the pair is kept). An unclosed string is a parse error:
//     nothing runs.
//   - Double-quoted strings open and close at U+0022, U+201C, U+201D and U+201E; "$" and "`"
//     in them expand, so one is never a plain literal here.
//   - Statements end at ";" and at a line break; "|", "&", "(", ")", "{", "}" and "$" start
//     something other than a plain argument. A parameter begins with "-" or one of the dashes
//     U+2013, U+2014, U+2015; parameter names ignore ASCII case.
//   - Every statement other than the one Expand-Archive above, and every Expand-Archive with
//     other arguments, is appended to "powershell_injections.log" beside the program (the real
//     shell would run it) and the run fails.
// Microsoft.PowerShell.Archive 1.0.1.0, Expand-Archive (Microsoft.PowerShell.Archive.psm1:
//   its BEGIN block, the LiteralPath parameter set, GetResolvedPathHelper,
//   ValidateArchivePathHelper, ExpandArchiveHelper)
//   - -LiteralPath takes the path as written (no wildcards); a path that is not an existing file
//     is a terminating error.
//   - An archive whose extension is not ".zip" (compared without regard to ASCII case, as the
//     module's -ne does) is refused with a terminating error before anything is written.
//   - -DestinationPath, handled before the archive is looked at, is tested with Test-Path -Path
//     -PathType Container and, when found, resolved with Resolve-Path -Path: both read it as a
//     wildcard pattern (below). Several matches are a terminating error
//     (InvalidExpandedDirPathError). When nothing matched, New-Item -Path creates it, taking the
//     text as written (New-Item reads no pattern); an item already there under that name is a
//     terminating error ("An item with the specified name ... already exists", PowerShell issue
//     #16505), exit code 1. The directory New-Item made is not among what the clean-up deletes.
//     Extraction goes to the resolved path. A relative destination starts at the current
//     location.
//   - The archive is opened as FileStream(Open, Read), that is with FileShare.Read: a writer
//     holding it makes the run fail.
//   - An archive with no entries writes nothing and succeeds.
//   - Entries are processed in central-directory order. An entry whose path, joined to the
//     destination and normalised, does not stay under it (".." segments, rooted names, drive
//     names) gets a non-terminating error; the others are still extracted and the exit code is 0
//     (the $? rule above).
//   - A name ending in "/" or "\" is a directory entry: the directory is created if missing.
//   - For a file, missing parent directories are created. An existing file is removed first
//     with Remove-Item -Force -ErrorVariable ev, which also removes a read-only file; when it
//     cannot be removed (held by another process) the module skips that entry ("continue"): the
//     old file stays, and the exit code is 0 (the $? rule above).
//   - ExtractToFile(entry, path, overwrite: false) then writes the file. An exception there is
//     terminating: the cmdlet's clean-up deletes every file and directory this run created, and
//     the exit code is 1.
//   - Entry names without the UTF-8 flag (general purpose bit 11) are decoded in the system's
//     ANSI code page (CP_ACP): the module passes no encoding to ZipArchive, and .NET Framework
//     then uses "the current system default code page" (documented for ZipArchive's
//     entryNameEncoding). Wine takes that code page from the host locale, so the bench pins
//     LC_ALL. Names with the flag are UTF-8.
// Wildcard patterns (about_Wildcards; System.Management.Automation WildcardPattern and its
//   parser in engine/regex.cs; LocationGlobber for paths)
//   - "*" matches any run of characters, "?" one character, "[abc]" one of the set, "[a-z]" one
//     of the range; matching ignores case. A backtick makes the next character literal, inside
//     a set too; a trailing backtick stands for itself. "]" outside a set is literal, and a "]"
//     right after the opening "[" is a member of the set.
//   - An unclosed "[" or a range whose ends are reversed makes the pattern invalid: an error,
//     the run fails.
//   - A path is read segment by segment: a segment with an unescaped "*", "?", "[" or "]" is
//     matched against the names in the directories matched so far; any other segment is taken
//     with its escapes removed.
// Windows PowerShell 5.1's starting location (PowerShell issue #5752; Windows Terminal issues
//   #16330, #14100)
//   - The process's current directory is set as the first location through a pattern reader:
//     when its text, read as a pattern, does not find the directory itself, the location falls
//     back to $PSHOME (this program's directory); when the text is not a valid pattern (a lone
//     "["), to "C:\". So a destination of '.' names the wrong directory in exactly these roots.
// System.IO.Compression.ZipArchive (.NET Framework 4.x, ReadEndOfCentralDirectory)
//   - The end record is the last signature found searching backwards from the end. When its
//     disk number or entry count is 0xFFFF or its directory offset 0xFFFFFFFF, the ZIP64 end
//     record (through its locator) gives the entry count and the directory offset; an entry's
//     full 32-bit sizes or local header offset come from its ZIP64 extra field (id 0x0001).
// Not modelled: -Confirm/-WhatIf, encryption, compression methods other than stored and
// deflated, PowerShell drives and provider paths other than "X:\" file-system ones; newer
// versions of the module (1.2.x), which trim white space from each part of an entry's path after
// checking it (the launcher refuses such names before the extraction); a file removed while
// another process holds it with delete sharing, whose name stays until that handle closes, so
// the new file cannot be created (a terminating error on Windows).
//
// Test hooks: every run appends its command line to "powershell_runs.log" beside the program;
// "powershell_behavior.txt" beside it may hold "sleep_after=MS" (wait after extracting),
// "exit_code=N" (report N afterwards), "readonly=1" (leave extracted files read-only),
// "stall_in=ENTRY" (write the first half of that entry, append "stalled ENTRY" to the run log and
// wait for ever: a process killed in the middle of a file) and "replace_archive=1" (before
// extracting, try to overwrite and then to replace the archive by rename from this process,
// recording "refused" or "replaced" in "powershell_tamper.log").
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

std::wstring g_ownDirectory;

struct Entry {
    std::string rawName;
    std::wstring name;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t size = 0;
    uint64_t localHeaderOffset = 0;
};

uint16_t read16(const std::string& data, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(data[at]) |
                                 static_cast<unsigned char>(data[at + 1]) << 8);
}

uint32_t read32(const std::string& data, size_t at) {
    return static_cast<uint32_t>(read16(data, at)) | static_cast<uint32_t>(read16(data, at + 2))
                                                         << 16;
}

uint64_t read64(const std::string& data, size_t at) {
    return static_cast<uint64_t>(read32(data, at)) | static_cast<uint64_t>(read32(data, at + 4))
                                                         << 32;
}

// ---- The tokenizer -------------------------------------------------------------------------

bool isSingleQuote(wchar_t c) {
    return c == L'\'' || c == L'\u2018' || c == L'\u2019' || c == L'\u201A' || c == L'\u201B';
}

bool isDoubleQuote(wchar_t c) {
    return c == L'"' || c == L'\u201C' || c == L'\u201D' || c == L'\u201E';
}

bool isDash(wchar_t c) {
    return c == L'-' || c == L'\u2013' || c == L'\u2014' || c == L'\u2015';
}

bool isBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\f' || c == L'\v' || c == L'\u00A0';
}

enum class Kind { Word, Parameter, Literal, Other };

struct Token {
    Kind kind;
    std::wstring text;  // the value for a literal, the name for a parameter
};

using Statement = std::vector<Token>;

// Splits the script into statements. False on a parse error (an unclosed string).
bool tokenize(const std::wstring& script, std::vector<Statement>& statements,
              std::vector<std::wstring>& statementTexts) {
    statements.assign(1, {});
    statementTexts.assign(1, L"");
    size_t at = 0;
    while (at < script.size()) {
        const wchar_t c = script[at];
        const size_t start = at;
        if (isBlank(c)) {
            ++at;
        } else if (c == L';' || c == L'\n' || c == L'\r') {
            ++at;
            statements.emplace_back();
            statementTexts.emplace_back();
            continue;
        } else if (isSingleQuote(c)) {
            std::wstring value;
            bool closed = false;
            for (++at; at < script.size(); ++at) {
                if (isSingleQuote(script[at])) {
                    if (at + 1 < script.size() && isSingleQuote(script[at + 1])) {
                        value += script[++at];
                        continue;
                    }
                    closed = true;
                    ++at;
                    break;
                }
                value += script[at];
            }
            if (!closed) return false;
            statements.back().push_back({Kind::Literal, value});
        } else if (isDoubleQuote(c)) {
            bool closed = false;
            for (++at; at < script.size(); ++at) {
                if (script[at] == L'`') {
                    ++at;
                    continue;
                }
                if (isDoubleQuote(script[at])) {
                    closed = true;
                    ++at;
                    break;
                }
            }
            if (!closed) return false;
            statements.back().push_back({Kind::Other, script.substr(start, at - start)});
        } else if (c == L'|' || c == L'&' || c == L'(' || c == L')' || c == L'{' || c == L'}' ||
                   c == L'$' || c == L'`' || c == L'#' || c == L'@' || c == L',') {
            ++at;
            statements.back().push_back({Kind::Other, std::wstring(1, c)});
        } else {
            while (at < script.size() && !isBlank(script[at]) && script[at] != L';' &&
                   script[at] != L'\n' && script[at] != L'\r' && !isSingleQuote(script[at]) &&
                   !isDoubleQuote(script[at]) &&
                   std::wstring(L"|&(){}$`,").find(script[at]) == std::wstring::npos) {
                ++at;
            }
            std::wstring word = script.substr(start, at - start);
            if (isDash(word[0]) && word.size() > 1) {
                statements.back().push_back({Kind::Parameter, word.substr(1)});
            } else {
                statements.back().push_back({Kind::Word, word});
            }
        }
        statementTexts.back() += script.substr(start, at - start);
    }
    return true;
}

bool sameAsciiCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The one statement that may run; false for anything else.
bool isExpandArchive(const Statement& s, std::wstring& archive, std::wstring& destination) {
    if (s.size() != 6 || s[0].kind != Kind::Word || !sameAsciiCase(s[0].text, L"Expand-Archive"))
        return false;
    if (s[1].kind != Kind::Parameter || !sameAsciiCase(s[1].text, L"LiteralPath") ||
        s[2].kind != Kind::Literal || s[3].kind != Kind::Parameter ||
        !sameAsciiCase(s[3].text, L"DestinationPath") || s[4].kind != Kind::Literal ||
        s[5].kind != Kind::Parameter || !sameAsciiCase(s[5].text, L"Force")) {
        return false;
    }
    archive = s[2].text;
    destination = s[4].text;
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
    if (args.size() < options.size() + 2) return false;
    for (size_t i = 0; i < options.size(); ++i) {
        if (args[i + 1] != options[i]) return false;
    }
    std::wstring script;
    for (size_t i = options.size() + 1; i < args.size(); ++i)
        script += (script.empty() ? L"" : L" ") + args[i];

    std::vector<Statement> statements;
    std::vector<std::wstring> texts;
    if (!tokenize(script, statements, texts)) return false;
    bool found = false;
    bool foreign = false;
    for (size_t i = 0; i < statements.size(); ++i) {
        if (statements[i].empty()) continue;
        std::wstring a, d;
        if (!found && isExpandArchive(statements[i], a, d)) {
            found = true;
            archive = a;
            destination = d;
            continue;
        }
        foreign = true;
        appendLine(g_ownDirectory + L"\\powershell_injections.log", toUtf8(texts[i]));
    }
    return found && !foreign;
}

// ---- The archive ---------------------------------------------------------------------------

std::wstring decodeName(const std::string& raw, uint16_t flags) {
    const UINT codePage = (flags & 0x0800) ? CP_UTF8 : CP_ACP;
    if (raw.empty()) return {};
    const int length =
        MultiByteToWideChar(codePage, 0, raw.data(), static_cast<int>(raw.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    MultiByteToWideChar(codePage, 0, raw.data(), static_cast<int>(raw.size()), text.data(), length);
    return text;
}

// The 64-bit values of the fields that are full, in the order size, compressed size, offset.
bool applyZip64Extra(const std::string& extra, Entry& entry) {
    const bool full[3] = {entry.size == 0xFFFFFFFF, entry.compressedSize == 0xFFFFFFFF,
                          entry.localHeaderOffset == 0xFFFFFFFF};
    if (!full[0] && !full[1] && !full[2]) return true;
    for (size_t at = 0; at + 4 <= extra.size();) {
        const uint16_t id = read16(extra, at), length = read16(extra, at + 2);
        if (at + 4 + length > extra.size()) return false;
        if (id == 0x0001) {
            uint64_t* fields[3] = {&entry.size, &entry.compressedSize, &entry.localHeaderOffset};
            size_t next = at + 4;
            for (int i = 0; i < 3; ++i) {
                if (!full[i]) continue;
                if (next + 8 > at + 4 + length) return false;
                *fields[i] = read64(extra, next);
                next += 8;
            }
            return true;
        }
        at += 4 + length;
    }
    return false;
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
    uint64_t count = read16(zip, end + 10);
    uint64_t at = read32(zip, end + 16);
    if (read16(zip, end + 4) == 0xFFFF || count == 0xFFFF || at == 0xFFFFFFFF) {
        // The ZIP64 end record, through the locator right before the end record.
        if (end < 20 || read32(zip, end - 20) != 0x07064b50) return false;
        const uint64_t record = read64(zip, end - 20 + 8);
        if (record + 56 > zip.size() || read32(zip, record) != 0x06064b50) return false;
        count = read64(zip, record + 32);
        at = read64(zip, record + 48);
    }
    for (uint64_t i = 0; i < count; ++i) {
        if (at + 46 > zip.size() || read32(zip, at) != 0x02014b50) return false;
        Entry entry;
        entry.flags = read16(zip, at + 8);
        entry.method = read16(zip, at + 10);
        entry.crc = read32(zip, at + 16);
        entry.compressedSize = read32(zip, at + 20);
        entry.size = read32(zip, at + 24);
        const uint16_t nameLength = read16(zip, at + 28);
        const uint16_t extraLength = read16(zip, at + 30);
        const uint16_t commentLength = read16(zip, at + 32);
        entry.localHeaderOffset = read32(zip, at + 42);
        if (at + 46 + nameLength + extraLength > zip.size()) return false;
        if (!applyZip64Extra(zip.substr(at + 46 + nameLength, extraLength), entry)) return false;
        entry.rawName = zip.substr(at + 46, nameLength);
        entry.name = decodeName(entry.rawName, entry.flags);
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

// The destination joined with the entry's name and normalised, as the module's check sees it;
// empty when the result leaves the destination.
std::wstring targetInside(const std::wstring& destination, const std::wstring& name) {
    std::wstring joined = destination + L"\\" + name;
    for (wchar_t& c : joined) {
        if (c == L'/') c = L'\\';
    }
    wchar_t full[32768] = {};
    if (GetFullPathNameW(joined.c_str(), 32768, full, nullptr) == 0) return {};
    std::wstring base = destination;
    if (base.back() != L'\\') base += L'\\';
    std::wstring result(full);
    if (name.find(L':') != std::wstring::npos || result.compare(0, base.size(), base) != 0)
        return {};
    return result;
}

void makeDirectories(const std::wstring& path, std::vector<std::wstring>& created) {
    for (size_t at = path.find_first_of(L"\\/", 3);; at = path.find_first_of(L"\\/", at + 1)) {
        const std::wstring part = at == std::wstring::npos ? path : path.substr(0, at);
        if (!part.empty() && CreateDirectoryW(part.c_str(), nullptr)) created.push_back(part);
        if (at == std::wstring::npos) break;
    }
}

bool writeNewFile(const std::wstring& path, const std::string& data) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
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

[[noreturn]] void stallHalfway(const std::wstring& target, const std::string& data) {
    writeNewFile(target, data.substr(0, data.size() / 2));
    appendLine(g_ownDirectory + L"\\powershell_runs.log", "stalled " + g_stallIn);
    for (;;)
        Sleep(INFINITE);
}

// FileStream(path, Open, Read) shares reading only.
std::string readArchive(const std::wstring& path, bool& opened) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    opened = file != INVALID_HANDLE_VALUE;
    std::string content;
    if (!opened) return content;
    char chunk[65536];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0)
        content.append(chunk, read);
    CloseHandle(file);
    return content;
}

bool isExistingFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// ---- Wildcard patterns and the destination --------------------------------------------------

struct PatternPart {
    enum Kind { Literal, AnyRun, AnyOne, Set };
    PatternPart(Kind k, wchar_t c = 0) : kind(k), literal(c) {}
    Kind kind;
    wchar_t literal;
    std::vector<std::pair<wchar_t, wchar_t>> ranges;  // a set's members, single ones as (c, c)
};

using Pattern = std::vector<PatternPart>;

// The set's text with its escapes removed, and which of its characters is an unescaped "-".
bool addSet(const std::wstring& members, const std::wstring& dashes, Pattern& pattern) {
    PatternPart set{PatternPart::Set};
    for (size_t i = 0; i < members.size();) {
        if (i + 2 < members.size() && dashes[i + 1] == L'-') {
            if (members[i] > members[i + 2]) return false;
            set.ranges.emplace_back(members[i], members[i + 2]);
            i += 3;
        } else {
            set.ranges.emplace_back(members[i], members[i]);
            ++i;
        }
    }
    pattern.push_back(set);
    return true;
}

// WildcardPatternParser.Parse; false for an invalid pattern.
bool parsePattern(const std::wstring& text, Pattern& pattern) {
    bool escaped = false;
    bool inSet = false;
    bool setJustOpened = false;
    std::wstring members, dashes;
    for (wchar_t c : text) {
        if (inSet) {
            if (c == L']' && !setJustOpened && !escaped) {
                inSet = false;
                if (!addSet(members, dashes, pattern)) return false;
            } else if (c != L'`' || escaped) {
                members += c;
                dashes += c == L'-' && !escaped ? L'-' : L' ';
            }
            setJustOpened = false;
        } else if (c == L'*' && !escaped) {
            pattern.push_back({PatternPart::AnyRun});
        } else if (c == L'?' && !escaped) {
            pattern.push_back({PatternPart::AnyOne});
        } else if (c == L'[' && !escaped) {
            inSet = setJustOpened = true;
            members.clear();
            dashes.clear();
        } else if (c != L'`' || escaped) {
            pattern.push_back({PatternPart::Literal, c});
        }
        escaped = c == L'`' && !escaped;
    }
    if (inSet) return false;
    if (escaped && text != L"`") pattern.push_back({PatternPart::Literal, L'`'});
    return true;
}

// WildcardPattern.ContainsWildcardCharacters: an unescaped "*", "?", "[" or "]".
bool hasWildcards(const std::wstring& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'*' || text[i] == L'?' || text[i] == L'[' || text[i] == L']') return true;
        if (text[i] == L'`') ++i;
    }
    return false;
}

wchar_t foldCase(wchar_t c) {
    CharUpperBuffW(&c, 1);
    return c;
}

bool partMatches(const PatternPart& part, wchar_t c) {
    if (part.kind == PatternPart::AnyOne) return true;
    if (part.kind == PatternPart::Literal) return foldCase(part.literal) == foldCase(c);
    for (const auto& [low, high] : part.ranges) {
        if ((c >= low && c <= high) ||
            (foldCase(c) >= foldCase(low) && foldCase(c) <= foldCase(high)))
            return true;
    }
    return false;
}

bool matchesFrom(const Pattern& pattern, size_t at, const std::wstring& name, size_t from) {
    if (at == pattern.size()) return from == name.size();
    if (pattern[at].kind == PatternPart::AnyRun) {
        for (size_t skip = from; skip <= name.size(); ++skip) {
            if (matchesFrom(pattern, at + 1, name, skip)) return true;
        }
        return false;
    }
    return from < name.size() && partMatches(pattern[at], name[from]) &&
           matchesFrom(pattern, at + 1, name, from + 1);
}

std::vector<std::wstring> namesIn(const std::wstring& directory) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool isDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool isDrivePath(const std::wstring& path) {
    return path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
}

// The items an absolute "X:\..." path names when read as a pattern, segment by segment (the
// globber); false when a segment is not a valid pattern.
bool globPath(const std::wstring& path, std::vector<std::wstring>& items) {
    items.assign(1, path.substr(0, 2));
    size_t start = 3;
    while (start <= path.size()) {
        size_t end = path.find_first_of(L"\\/", start);
        if (end == std::wstring::npos) end = path.size();
        const std::wstring segment = path.substr(start, end - start);
        start = end + 1;
        if (segment.empty() || segment == L".") continue;
        std::vector<std::wstring> next;
        if (segment == L"..") {
            for (const std::wstring& item : items)
                next.push_back(item.size() > 2 ? item.substr(0, item.find_last_of(L'\\')) : item);
        } else if (hasWildcards(segment)) {
            Pattern pattern;
            if (!parsePattern(segment, pattern)) return false;
            for (const std::wstring& item : items) {
                for (const std::wstring& name : namesIn(item)) {
                    if (matchesFrom(pattern, 0, name, 0)) next.push_back(item + L"\\" + name);
                }
            }
        } else {
            Pattern literal;
            parsePattern(segment, literal);  // no wildcard left: only the escapes go
            std::wstring name;
            for (const PatternPart& part : literal)
                name += part.literal;
            for (const std::wstring& item : items) {
                if (exists(item + L"\\" + name)) next.push_back(item + L"\\" + name);
            }
        }
        items = next;
    }
    for (std::wstring& item : items) {
        if (item.size() == 2) item += L'\\';
    }
    return true;
}

std::wstring escapePattern(const std::wstring& text) {
    std::wstring escaped;
    for (wchar_t c : text) {
        if (c == L'*' || c == L'?' || c == L'[' || c == L']' || c == L'`') escaped += L'`';
        escaped += c;
    }
    return escaped;
}

// Windows PowerShell 5.1 takes its first location from the current directory read as a pattern.
std::wstring startingLocation() {
    wchar_t buffer[32768] = {};
    std::wstring current(buffer, GetCurrentDirectoryW(32768, buffer));
    if (current.size() > 3 && current.back() == L'\\') current.pop_back();
    std::vector<std::wstring> found;
    if (!globPath(current, found)) return L"C:\\";
    for (const std::wstring& item : found) {
        if (CompareStringOrdinal(item.c_str(), -1, current.c_str(), -1, TRUE) == CSTR_EQUAL)
            return current;
    }
    return g_ownDirectory;  // $PSHOME
}

// Expand-Archive's BEGIN block for -DestinationPath; false on its terminating errors.
bool resolveDestination(const std::wstring& argument, std::wstring& resolved) {
    const std::wstring location = startingLocation();
    const std::wstring separator = location.back() == L'\\' ? L"" : L"\\";
    const bool absolute = isDrivePath(argument);
    std::vector<std::wstring> found;
    if (!globPath(absolute ? argument : escapePattern(location) + separator + argument, found))
        return false;  // WildcardPattern_Invalid
    bool container = false;
    for (const std::wstring& item : found)
        container |= isDirectory(item);
    if (container) {
        if (found.size() > 1) return false;  // InvalidExpandedDirPathError
        resolved = found[0];
        return true;
    }
    // New-Item -Path ... -ItemType Directory -ErrorAction Stop, with the text as written.
    std::wstring literal = absolute ? argument : location + separator + argument;
    for (wchar_t& c : literal) {
        if (c == L'/') c = L'\\';
    }
    if (exists(literal)) return false;  // "already exists"
    std::vector<std::wstring> created;
    makeDirectories(literal, created);
    if (!isDirectory(literal)) return false;
    wchar_t full[32768] = {};
    resolved = GetFullPathNameW(literal.c_str(), 32768, full, nullptr) ? full : literal;
    return true;
}

// Exit code of Expand-Archive: 1 after a terminating error, else 0.
int expandArchive(const std::wstring& archivePath, const std::wstring& destination) {
    if (!isExistingFile(archivePath)) return 1;
    const size_t dot = archivePath.find_last_of(L".\\/");
    if (dot == std::wstring::npos || archivePath[dot] != L'.' ||
        !sameAsciiCase(archivePath.substr(dot), L".zip")) {
        return 1;  // NotSupportedArchiveFileExtension, before anything is written
    }
    std::vector<std::wstring> created;
    bool opened = false;
    const std::string zip = readArchive(archivePath, opened);
    std::vector<Entry> entries;
    if (!opened || !readCentralDirectory(zip, entries)) return 1;

    // A non-terminating error for an entry is written from inside the module's function, so
    // $? stays true in the caller and the exit code stays 0: the entry is simply missing.
    for (const Entry& entry : entries) {
        const std::wstring target = targetInside(destination, entry.name);
        // BadArchiveEntry: reported, the others go on.
        if (target.empty()) continue;
        if (target.back() == L'\\') {
            makeDirectories(target.substr(0, target.size() - 1), created);
            continue;
        }
        makeDirectories(target.substr(0, target.find_last_of(L'\\')), created);
        if (isExistingFile(target)) {
            SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);  // Remove-Item -Force
            // The module's "continue": the old file stays.
            if (!DeleteFileW(target.c_str())) continue;
        }
        std::string data;
        const bool read = entryData(zip, entry, data);
        if (read && !g_stallIn.empty() && entry.rawName == g_stallIn) stallHalfway(target, data);
        if (!read || !writeNewFile(target, data)) {
            // Terminating: the cmdlet deletes what this run created, newest first.
            for (auto it = created.rbegin(); it != created.rend(); ++it) {
                if (!DeleteFileW(it->c_str())) RemoveDirectoryW(it->c_str());
            }
            return 1;
        }
        created.push_back(target);
        if (g_readOnly) SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY);
    }
    return 0;
}

// What another process on the machine might try between the hash and the extraction.
void tryToReplaceArchive(const std::wstring& archivePath) {
    const std::wstring substitute = g_ownDirectory + L"\\substitute.zip";
    bool replaced = false;
    HANDLE file = CreateFileW(archivePath.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        replaced = WriteFile(file, "PK", 2, &written, nullptr) && written == 2;
        CloseHandle(file);
    }
    HANDLE other = CreateFileW(substitute.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (other != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(other, "not a zip", 9, &written, nullptr);
        CloseHandle(other);
        replaced |= MoveFileExW(substitute.c_str(), archivePath.c_str(),
                                MOVEFILE_REPLACE_EXISTING) != FALSE;
        DeleteFileW(substitute.c_str());
    }
    appendLine(g_ownDirectory + L"\\powershell_tamper.log", replaced ? "replaced" : "refused");
}

std::wstring ownDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    std::wstring path(buffer);
    return path.substr(0, path.find_last_of(L"\\/"));
}

}  // namespace

int wmain() {
    g_ownDirectory = ownDirectory();
    appendLine(g_ownDirectory + L"\\powershell_runs.log", toUtf8(GetCommandLineW()));
    std::vector<std::string> words;
    std::istringstream behaviour(readFileBytes(g_ownDirectory + L"\\powershell_behavior.txt"));
    for (std::string word; behaviour >> word;)
        words.push_back(word);
    bool replace = false;
    for (const std::string& word : words) {
        g_readOnly |= word == "readonly=1";
        replace |= word == "replace_archive=1";
        if (word.rfind("stall_in=", 0) == 0) g_stallIn = word.substr(9);
    }

    std::wstring archive, destination;
    int result = 1;
    if (parseCommand(archive, destination)) {
        if (replace) tryToReplaceArchive(archive);
        std::wstring resolved;
        if (resolveDestination(destination, resolved)) result = expandArchive(archive, resolved);
    }
    for (const std::string& word : words) {
        if (word.rfind("sleep_after=", 0) == 0) Sleep(std::strtoul(word.c_str() + 12, nullptr, 10));
        if (word.rfind("exit_code=", 0) == 0) result = std::atoi(word.c_str() + 10);
    }
    return result;
}
