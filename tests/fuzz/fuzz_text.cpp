// trimWhitespace, toLowerAscii and splitString against their defining properties.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "manifest/manifest.h"
#include "platform/text.h"

using varnix::splitString;
using varnix::toLowerAscii;
using varnix::trimWhitespace;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const char delimiter = static_cast<char>(data[0]);
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

    const std::string trimmed = trimWhitespace(text);
    if (trimWhitespace(trimmed) != trimmed) std::abort();
    if (!trimmed.empty()) {
        if (trimmed.front() == ' ' || trimmed.front() == '\t') std::abort();
        if (std::string("\r\n \t").find(trimmed.back()) != std::string::npos) std::abort();
        if (text.find(trimmed) == std::string::npos) std::abort();
    }

    const std::string lower = toLowerAscii(text);
    if (lower.size() != text.size()) std::abort();
    for (size_t i = 0; i < text.size(); ++i) {
        const bool capital = text[i] >= 'A' && text[i] <= 'Z';
        if (capital ? lower[i] != text[i] + 32 : lower[i] != text[i]) std::abort();
    }

    const auto items = splitString(text, delimiter);
    std::string joined;
    for (size_t i = 0; i < items.size(); ++i)
        joined += (i ? std::string(1, delimiter) : "") + items[i];
    if (joined != text) std::abort();
    size_t delimiters = 0;
    for (char c : text)
        delimiters += c == delimiter;
    if (items.size() != delimiters + 1) std::abort();
    return 0;
}
