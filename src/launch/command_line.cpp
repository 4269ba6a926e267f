#include "launch/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include "launch/quoting.h"
#include "platform/handle.h"

namespace varnix {

WideString moduleDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    const WideString path(buffer);
    const size_t separator = path.find_last_of(L"\\/");
    if (separator == WideString::npos) return L".";
    return path.substr(0, separator);
}

WideString forwardedArguments() {
    const wchar_t* commandLine = GetCommandLineW();
    if (commandLine == nullptr) return {};
    int count = 0;
    wchar_t** elements = CommandLineToArgvW(commandLine, &count);
    if (elements == nullptr) return {};
    LocalMemory owner(reinterpret_cast<HLOCAL>(elements));
    WideString result;
    for (int i = 1; i < count; ++i) {
        if (!result.empty()) result += L' ';
        result += quoteArgument(elements[i]);
    }
    return result;
}

}  // namespace varnix
