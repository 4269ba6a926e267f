// Argument quoting: every argument list, quoted and joined, splits back into the same list under
// the Windows rules for command lines (those CommandLineToArgvW and the C runtime follow).
// Input: arguments separated by zero bytes. The unit tests check the same under the real
// CommandLineToArgvW in Wine; this target searches far more inputs natively.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "launch/quoting.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::wstring> arguments(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.emplace_back();
        } else {
            arguments.back() += static_cast<wchar_t>(data[i]);
        }
    }
    std::wstring line;
    for (const std::wstring& argument : arguments)
        line += L" " + varnix::quoteArgument(argument);
    if (splitArguments(line) != arguments) std::abort();
    return 0;
}
