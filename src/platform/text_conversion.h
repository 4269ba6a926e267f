#pragma once
// UTF-8 and UTF-16 through the Win32 code-page functions: Windows builds only, so a portable
// source that reaches for them fails to compile in the host build instead of failing to link.

#include "platform/text.h"

namespace varnix {

WideString utf8ToWide(const ByteString& bytes);
ByteString wideToUtf8(const WideString& text);
// The system's ANSI code page (CP_ACP), as .NET decodes a ZIP entry name without the UTF-8 flag.
WideString ansiToWide(const ByteString& bytes);
// Upper case as the file system compares names (CharUpperBuffW), for keys that must not differ
// by case alone.
WideString toUpperCase(WideString text);
// Two relative paths (UTF-8) ordered as Windows compares file names: ordinal, ignoring case
// (CompareStringOrdinal, so Cyrillic folds too), with "/" and "\" alike. Zero: one file.
int compareFileNames(const ByteString& first, const ByteString& second);

}  // namespace varnix
