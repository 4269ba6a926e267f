// Argument quoting: every argument list, quoted and joined, splits back into the same list under
// the Windows rules for command lines (those CommandLineToArgvW and the C runtime follow).
// Input: arguments separated by zero bytes. The unit tests check the same under the real
// CommandLineToArgvW in Wine; this target searches far more inputs natively.
// The first two arguments also go into the Expand-Archive command line as archive and
// destination: PowerShell must read the archive back as written and the destination, as a
// wildcard pattern, as naming exactly itself. Bytes 0x82, 0x91, 0x92 and 0x9B stand for the
// single-quote characters U+201A, U+2018, U+2019 and U+201B there.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "launch/quoting.h"
#include "packages/powershell_quoting.h"

namespace {

// The documented rules for the arguments after the program name.
std::vector<std::wstring> splitArguments(const std::wstring& line) {
    std::vector<std::wstring> arguments;
    size_t i = 0;
    while (true) {
        while (i < line.size() && (line[i] == L' ' || line[i] == L'\t'))
            ++i;
        if (i >= line.size()) return arguments;
        std::wstring argument;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != L' ' && line[i] != L'\t'))) {
            size_t backslashes = 0;
            while (i < line.size() && line[i] == L'\\') {
                ++backslashes;
                ++i;
            }
            if (i < line.size() && line[i] == L'"') {
                argument.append(backslashes / 2, L'\\');
                if (backslashes % 2 == 1) {
                    argument += L'"';
                } else if (quoted && i + 1 < line.size() && line[i + 1] == L'"') {
                    argument += L'"';  // "" inside quotes: a literal quote
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                argument.append(backslashes, L'\\');
                if (i < line.size() && backslashes == 0) argument += line[i++];
            }
        }
        arguments.push_back(argument);
    }
}

bool isPowerShellSingleQuote(wchar_t c) {
    return c == L'\'' || c == L'\u2018' || c == L'\u2019' || c == L'\u201A' || c == L'\u201B';
}

// One single-quoted PowerShell literal at 'at': any of the five quotes opens and closes it, two
// in a row stand for one. False when the text there is no closed literal.
bool readLiteral(const std::wstring& script, size_t& at, std::wstring& value) {
    if (at >= script.size() || !isPowerShellSingleQuote(script[at])) return false;
    for (++at; at < script.size(); ++at) {
        if (isPowerShellSingleQuote(script[at])) {
            if (at + 1 < script.size() && isPowerShellSingleQuote(script[at + 1])) {
                value += script[++at];
                continue;
            }
            ++at;
            return true;
        }
        value += script[at];
    }
    return false;
}

bool readWord(const std::wstring& script, size_t& at, const std::wstring& word) {
    if (script.compare(at, word.size(), word) != 0) return false;
    at += word.size();
    return true;
}

// The text a wildcard pattern matches when it matches one text only; false when it holds an
// unescaped pattern character or ends in a lone backtick.
bool literalPatternText(const std::wstring& pattern, std::wstring& text) {
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == L'`') {
            if (++i == pattern.size()) return false;
        } else if (std::wstring(L"*?[]").find(pattern[i]) != std::wstring::npos) {
            return false;
        }
        text += pattern[i];
    }
    return true;
}

wchar_t fromByte(uint8_t byte) {
    switch (byte) {
        case 0x82:
            return L'\u201A';
        case 0x91:
            return L'\u2018';
        case 0x92:
            return L'\u2019';
        case 0x9B:
            return L'\u201B';
        default:
            return static_cast<wchar_t>(byte);
    }
}

void checkExpandArchiveCommand(const std::wstring& archive, const std::wstring& destination) {
    // Windows paths hold no double quote, "*" or "?".
    if ((archive + destination).find_first_of(L"\"*?") != std::wstring::npos) return;
    const std::vector<std::wstring> arguments =
        splitArguments(varnix::expandArchiveCommandLine(archive, destination));
    const std::vector<std::wstring> options = {L"powershell.exe",  L"-NoProfile",
                                               L"-NonInteractive", L"-ExecutionPolicy",
                                               L"Bypass",          L"-Command"};
    if (arguments.size() != options.size() + 1) std::abort();
    for (size_t i = 0; i < options.size(); ++i) {
        if (arguments[i] != options[i]) std::abort();
    }
    const std::wstring& script = arguments.back();
    size_t at = 0;
    std::wstring archiveRead, destinationPattern, destinationRead;
    if (!readWord(script, at, L"Expand-Archive -LiteralPath ") ||
        !readLiteral(script, at, archiveRead) || !readWord(script, at, L" -DestinationPath ") ||
        !readLiteral(script, at, destinationPattern) || !readWord(script, at, L" -Force") ||
        at != script.size()) {
        std::abort();
    }
    if (archiveRead != archive) std::abort();
    if (!literalPatternText(destinationPattern, destinationRead) || destinationRead != destination)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::wstring> arguments(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.emplace_back();
        } else {
            arguments.back() += fromByte(data[i]);
        }
    }
    std::wstring line;
    for (const std::wstring& argument : arguments)
        line += L" " + varnix::quoteArgument(argument);
    if (splitArguments(line) != arguments) std::abort();
    if (arguments.size() >= 2) checkExpandArchiveCommand(arguments[0], arguments[1]);
    return 0;
}
