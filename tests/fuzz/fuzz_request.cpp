// The dependency request parser: names sorted by bytes, unique, never empty; valid iff any name.
// The same bytes, read as a request (packages, reason and missing files separated by NUL, list
// items by ","), must come back unchanged whenever the application's header writes them.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "deps/request.h"
#include "varnix/app.h"

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> items(1);
    for (char c : text) {
        if (c == separator) {
            items.emplace_back();
        } else {
            items.back() += c;
        }
    }
    return items;
}

void checkHeaderRoundTrip(const std::string& input) {
    const std::vector<std::string> fields = split(input, '\0');
    if (fields.size() != 3) return;
    std::vector<std::string> packages = split(fields[0], ',');
    const std::vector<std::string> missing =
        fields[2].empty() ? std::vector<std::string>{} : split(fields[2], ',');
    std::string text;
    if (varnix::app::formatDependencyRequest(packages, fields[1], missing, text) !=
        VARNIX_REQUEST_WRITTEN) {
        return;
    }
    varnix::DependencyRequest request;
    if (!varnix::parseDependencyRequestText(text, request)) std::abort();
    std::sort(packages.begin(), packages.end());
    packages.erase(std::unique(packages.begin(), packages.end()), packages.end());
    if (request.packages != packages || request.reason != fields[1] || request.missing != missing) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    varnix::DependencyRequest request;
    const bool valid = varnix::parseDependencyRequestText(text, request);
    if (valid != !request.packages.empty()) std::abort();
    if (!std::is_sorted(request.packages.begin(), request.packages.end())) std::abort();
    if (std::adjacent_find(request.packages.begin(), request.packages.end()) !=
        request.packages.end()) {
        std::abort();
    }
    for (const std::string& name : request.packages) {
        if (name.empty() || name.find('\n') != std::string::npos) std::abort();
    }
    checkHeaderRoundTrip(text);
    return 0;
}
