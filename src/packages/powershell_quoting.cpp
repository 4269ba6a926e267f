#include "packages/powershell_quoting.h"

namespace varnix {
namespace {

// PowerShell's tokenizer ends a single-quoted string at any of these, not only at U+0027, and
// reads any two of them in a row as one literal quote. Doubling each one keeps it literal.
bool isPowerShellSingleQuote(wchar_t c) {
    return c == L'\'' || c == L'\u2018' || c == L'\u2019' || c == L'\u201A' || c == L'\u201B';
}

}  // namespace

WideString quotePowerShellLiteral(const WideString& text) {
    WideString quoted = L"'";
    for (wchar_t c : text) {
        if (isPowerShellSingleQuote(c)) quoted += c;
        quoted += c;
    }
    return quoted + L"'";
}

WideString expandArchiveCommandLine(const WideString& archivePath, const WideString& destination) {
    return L"powershell.exe -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command "
           L"\"Expand-Archive -LiteralPath " +
           quotePowerShellLiteral(archivePath) + L" -DestinationPath " +
           quotePowerShellLiteral(destination) + L" -Force\"";
}

}  // namespace varnix
