#pragma once
// File-system helpers. They report failure only through their result; callers log and word it.

#include "platform/text.h"

#include <cstdint>

namespace varnix {

// The system's message for a Win32 code (with its trailing line break), or "Код ошибки: N".
WideString win32ErrorText(uint32_t code);

bool ensureDirectory(const WideString& path);
// True when no directory is left at the path. Links inside the tree are removed, never followed.
bool deleteDirectoryTree(const WideString& path);
bool writeWholeFile(const WideString& path, const ByteString& bytes);
ByteString readWholeFile(const WideString& path);

bool isExistingFile(const WideString& path);
bool isExistingDirectory(const WideString& path);
// Clears read-only and similar flags first, so a protected file can still go.
void forceDeleteFile(const WideString& path);

}  // namespace varnix
