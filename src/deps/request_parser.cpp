#include <algorithm>

#include "deps/request.h"
#include "manifest/manifest.h"

namespace varnix {
namespace {

// Longer than any honest request; a larger file is not read as one.
constexpr size_t kMaxRequestBytes = 64 * 1024;

// The length in bytes of the control character (UTF-8) that starts at `at`, or 0. Beside C0,
// DEL and C1 this covers the line and paragraph separators and the bidirectional embeddings,
// overrides and isolates, which can forge a log line or reorder what a dialog shows.
size_t controlCharacterLength(const ByteString& text, size_t at) {
    const auto byte = [&](size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
    };
    const unsigned first = byte(at);
    if (first < 0x20 || first == 0x7f) return 1;
    if (first == 0xc2 && byte(at + 1) >= 0x80 && byte(at + 1) <= 0x9f) return 2;
    if (first == 0xe2 && byte(at + 1) == 0x80 && byte(at + 2) >= 0xa8 && byte(at + 2) <= 0xae) {
        return 3;  // U+2028 to U+202E
    }
    if (first == 0xe2 && byte(at + 1) == 0x81 && byte(at + 2) >= 0xa6 && byte(at + 2) <= 0xa9) {
        return 3;  // U+2066 to U+2069
    }
    return 0;
}

ByteString withoutControlCharacters(const ByteString& text) {
    ByteString result;
    for (size_t at = 0; at < text.size();) {
        const size_t length = controlCharacterLength(text, at);
        result += length ? '?' : text[at];
        at += length ? length : 1;
    }
    return result;
}

void applyLine(const ByteString& key, const ByteString& value, DependencyRequest& request) {
    if (key == "package") {
        if (!value.empty()) request.packages.push_back(value);
    } else if (key == "packages") {
        for (const ByteString& name : splitString(value, ';')) {
            if (!name.empty()) request.packages.push_back(name);
        }
    } else if (key == "reason") {
        request.reason = value;
    } else if (key == "missing") {
        request.missing = splitString(value, ';');
    }
}

// Nothing the request names reaches a dialog or the log with a control character in it.
void replaceControlCharacters(DependencyRequest& request) {
    for (ByteString& name : request.packages)
        name = withoutControlCharacters(name);
    request.reason = withoutControlCharacters(request.reason);
    for (ByteString& item : request.missing)
        item = withoutControlCharacters(item);
}

}  // namespace

bool parseDependencyRequestText(const ByteString& content, DependencyRequest& request) {
    request = DependencyRequest{};
    if (content.size() > kMaxRequestBytes) return false;
    for (const ByteString& rawLine : splitString(content, '\n')) {
        const ByteString line = trimWhitespace(rawLine);
        const size_t equals = line.find('=');
        if (line.empty() || equals == ByteString::npos) continue;
        applyLine(toLowerAscii(trimWhitespace(line.substr(0, equals))),
                  trimWhitespace(line.substr(equals + 1)), request);
    }
    replaceControlCharacters(request);
    std::sort(request.packages.begin(), request.packages.end());
    request.packages.erase(std::unique(request.packages.begin(), request.packages.end()),
                           request.packages.end());
    return !request.packages.empty();
}

}  // namespace varnix
