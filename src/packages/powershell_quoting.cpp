#include "packages/powershell_quoting.h"

namespace varnix {

WideString quotePowerShellLiteral(const WideString& text) {
    WideString quoted = L"'";
    for (wchar_t c : text) {
        if (c == L'\'') quoted += L'\'';
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
