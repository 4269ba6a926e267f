// The dependency request parser: names sorted by bytes, unique, never empty; valid iff any name.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "deps/request.h"

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
    return 0;
}
