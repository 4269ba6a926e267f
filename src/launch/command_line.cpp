#include "launch/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "launch/quoting.h"
#include "platform/handle.h"

namespace varnix {

WideString moduleFilePath() {
    // A path that fills the buffer was cut short: grow it until the whole path fits.
    constexpr DWORD kLongestPath = 32768;
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD length = 0;
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        length = GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length < size || size >= kLongestPath) break;
        buffer.resize(size * 2);
    }
    return WideString(buffer.data(), length);
}

WideString moduleDirectory() {
    const WideString path = moduleFilePath();
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
