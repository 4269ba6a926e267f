// Log redaction: after it, the site's host is nowhere in the line; a line without it is unchanged.
// Input: the host (letters, digits, '.', '-'; up to the first newline) and then the line.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/redact.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t newline = input.find('\n');
    if (newline == std::string::npos || newline == 0 || newline > 64) return 0;
    std::wstring host;
    for (size_t i = 0; i < newline; ++i) {
        const char c = input[i];
        const bool allowed =
            (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
        if (!allowed) return 0;
        host += static_cast<wchar_t>(c);
    }
    std::wstring line;
    for (size_t i = newline + 1; i < input.size(); ++i) {
        line += static_cast<wchar_t>(static_cast<unsigned char>(input[i]));
    }
    const std::wstring redacted = varnix::redactSiteUrls(line, host);
    if (redacted.find(host) != std::wstring::npos) std::abort();
    if (line.find(host) == std::wstring::npos && redacted != line) std::abort();
    return 0;
}
