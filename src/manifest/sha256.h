#pragma once
// SHA-256 through Windows CNG. Every failure gives an empty result; callers word the error.

#include "platform/text.h"

namespace varnix {

// 64 lower-case hex digits of the file's digest, or empty.
ByteString sha256File(const WideString& path);
// The same for a file already open for reading (a HANDLE), from its current position to its end.
ByteString sha256OpenFile(void* file);
// The raw 32-byte digest, or empty. An empty buffer has the digest of the empty message.
ByteString sha256Bytes(const ByteString& bytes);

}  // namespace varnix
