#include <algorithm>

#include "deps/request.h"
#include "manifest/manifest.h"

namespace varnix {
namespace {

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

}  // namespace

bool parseDependencyRequestText(const ByteString& content, DependencyRequest& request) {
    request = DependencyRequest{};
    for (const ByteString& rawLine : splitString(content, '\n')) {
        const ByteString line = trimWhitespace(rawLine);
        const size_t equals = line.find('=');
        if (line.empty() || equals == ByteString::npos) continue;
        applyLine(toLowerAscii(trimWhitespace(line.substr(0, equals))),
                  trimWhitespace(line.substr(equals + 1)), request);
    }
    std::sort(request.packages.begin(), request.packages.end());
    request.packages.erase(std::unique(request.packages.begin(), request.packages.end()),
                           request.packages.end());
    return !request.packages.empty();
}

}  // namespace varnix
