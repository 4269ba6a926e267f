#include "packages/powershell_quoting.h"

namespace varnix {
namespace {

// PowerShell's tokenizer ends a single-quoted string at any of these, not only at U+0027, and
// reads any two of them in a row as one literal quote. Doubling each one keeps it literal.
bool isPowerShellSingleQuote(wchar_t c) {
    return c == L'\'' || c == L'\u2018' || c == L'\u2019' || c == L'\u201A' || c == L'\u201B';
}

// "*" and "?" are pattern characters too, but no Windows file name can hold them.
bool isWildcardEscaped(wchar_t c) {
    return c == L'[' || c == L']' || c == L'`';
}

}  // namespace

WideString escapePowerShellWildcards(const WideString& text) {
    WideString escaped;
    for (wchar_t c : text) {
        if (isWildcardEscaped(c)) escaped += L'`';
        escaped += c;
    }
    return escaped;
}

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
           quotePowerShellLiteral(escapePowerShellWildcards(destination)) + L" -Force\"";
}

}  // namespace varnix
