#pragma once
// File-system helpers. They report failure only through their result; callers log and word it.

#include <cstdint>
#include <vector>

#include "platform/text.h"

namespace varnix {

// The system's message for a Win32 code (with its trailing line break), or "Код ошибки: N".
WideString win32ErrorText(uint32_t code);
// The text of the calling thread's last Win32 error: call it right after the failed call.
WideString lastErrorText();

// Also true when a file, not a directory, already sits at the path (CreateDirectoryW says
// ERROR_ALREADY_EXISTS either way): callers that need a directory find out at their next step.
bool ensureDirectory(const WideString& path);
// True when no directory is left at the path. Links inside the tree are removed, never followed.
bool deleteDirectoryTree(const WideString& path);
// With `flush`, the bytes are on the disk (FlushFileBuffers) before the call returns.
bool writeWholeFile(const WideString& path, const ByteString& bytes, bool flush = false);
ByteString readWholeFile(const WideString& path);

bool isExistingFile(const WideString& path);
bool isExistingDirectory(const WideString& path);
// Clears read-only and similar flags first, so a protected file can still go.
void forceDeleteFile(const WideString& path);
// Deletes the file as it is: a read-only one stays, and lastErrorText() says why.
bool deleteFile(const WideString& path);
// Overwrites an existing `to`. Its attributes are not always those of `from` afterwards.
bool copyFileReplacing(const WideString& from, const WideString& to);
// Leaves the file with no read-only, hidden or system flag, so it can be replaced or written.
bool clearAttributes(const WideString& path);
// `to` gets the attributes `from` has.
void copyAttributes(const WideString& from, const WideString& to);
// An existing file without a read-only, hidden or system flag.
bool hasPlainAttributes(const WideString& path);

// The path with each short (8.3) component in its long form; the path as given when it cannot be
// resolved (it does not exist, say).
WideString longPathName(const WideString& path);

// A second name for an existing file. False where the volume has no hard links.
bool createHardLink(const WideString& existing, const WideString& link);
// The same, made only while the file can be opened for deletion with others allowed to do no
// more than read and delete it: false, and no link, when someone holds it otherwise.
bool createHardLinkIfDeletable(const WideString& existing, const WideString& link);
// Both paths name one file: hard links of each other, or the same path.
bool isSameFile(const WideString& first, const WideString& second);
// What names one file or directory however its path is spelled (drive letter, subst, UNC, 8.3
// name, Wine's Z:): the low 32 bits of the volume serial, then the 128-bit file ID. Empty when
// it cannot be opened or the volume gives no nonzero ID.
ByteString fileIdentity(const WideString& path);

// Asks the disk to hold what was written to the file. False when it cannot be opened.
bool flushFile(const WideString& path);
// Writes a flushed temporary file beside `path` and renames it over `path` in one step, so the
// file holds either the old or the new bytes, and the new ones only once they are on the disk.
// A read-only flag on `path` is cleared first. On failure the temporary is gone and
// lastErrorText() names the step that failed.
bool replaceFileDurably(const WideString& path, const ByteString& bytes);
// The temporary that replaceFileDurably writes beside `path`; one an interrupted write left
// behind is the caller's to remove.
WideString durableWriteTemporary(const WideString& path);

// A link is a reparse point whose tag stands for another name (IsReparseTagNameSurrogate:
// symbolic links, junctions and their kin), or whose tag is 0 or could not be read: under Wine a
// host symbolic link shows tag 0. Every other reparse point (cloud-sync placeholders,
// deduplicated files) is an ordinary file or directory, and the launcher works in it as in any.
bool isLinkEntry(uint32_t attributes, uint32_t reparseTag);

// A junction or symbolic link at the path is removed itself; what it points to is never
// touched. True when no link is left there.
bool removeLink(const WideString& path);
// An existing directory that is not a link.
bool isRealDirectory(const WideString& path);
// A work directory the launcher writes and deletes in: a link in its place is removed first
// (never followed), then the directory is made. False when a link stays or nothing can be made.
bool ensureRealDirectory(const WideString& path);
// Names of the subdirectories directly in `path` that are not links.
std::vector<WideString> realSubdirectories(const WideString& path);

}  // namespace varnix
