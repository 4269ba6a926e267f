#pragma once
// dependency_request.txt: what the application asks for when it exits with code 85.

#include <vector>

#include "platform/text.h"
#include "varnix/contract.h"

namespace varnix {

inline constexpr const wchar_t* kDependencyRequestFileName = contract::kRequestFileName;

struct DependencyRequest {
    std::vector<ByteString> packages;  // sorted by bytes, no duplicates, no empty names
    ByteString reason;
    std::vector<ByteString> missing;  // as written; may hold empty items
};

// Portable: the file's content (at most 64 KiB) to a request, control characters in it made
// "?". True when at least one package is named.
bool parseDependencyRequestText(const ByteString& content, DependencyRequest& request);

}  // namespace varnix
