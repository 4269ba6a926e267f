#pragma once
// Where the launch side keeps its files: the log under the root, Varnix.exe and its token in
// the system directory.

#include "platform/path.h"
#include "platform/text.h"
#include "varnix/contract.h"

namespace varnix {

// A new launcher runs under its name with this suffix until it renames itself over the old one.
inline constexpr wchar_t kPromotionSuffix[] = L".new";

inline WideString systemDirectory(const WideString& rootDir) {
    return joinPath(rootDir, contract::kSystemDirectoryName);
}

inline WideString logDirectory(const WideString& rootDir) {
    return joinPath(rootDir, L"logs");
}

inline WideString logFilePath(const WideString& logDir) {
    return joinPath(logDir, L"launcher.log");
}

inline WideString applicationPath(const WideString& systemDir) {
    return joinPath(systemDir, contract::kApplicationFileName);
}

inline WideString launchTokenPath(const WideString& systemDir) {
    return joinPath(systemDir, contract::kTokenFileName);
}

}  // namespace varnix
