#include <algorithm>

#include "deps/request.h"
#include "manifest/manifest.h"

namespace varnix {
namespace {

// Longer than any honest request; a larger file is not read as one.
constexpr size_t kMaxRequestBytes = 64 * 1024;

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
