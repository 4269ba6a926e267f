#pragma once
// The central directory of a ZIP archive, read the way .NET's ZipArchive reads it for
// Expand-Archive: the end record found by searching backwards from the end, its ZIP64 record
// when a field says so, then the entries in order. Only what the launcher checks is kept. The
// reader is bounds-checked throughout and refuses whatever could be read in more than one way
// (a second end record, an entry count that disagrees with the directory). Portable: the bytes
// come through a ByteSource, a file on Windows or a buffer in the tests and the fuzz target.

#include <cstdint>
#include <vector>

#include "platform/text.h"

namespace varnix {

// Random access to the archive's bytes.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    virtual uint64_t size() const = 0;
    // Exactly `length` bytes at `offset` into `buffer`; false when they cannot all be read.
    virtual bool readAt(uint64_t offset, size_t length, char* buffer) const = 0;
};

// An archive held in memory.
class BufferSource : public ByteSource {
  public:
    explicit BufferSource(const ByteString& bytes) : bytes_(bytes) {}
    uint64_t size() const override { return bytes_.size(); }
    bool readAt(uint64_t offset, size_t length, char* buffer) const override;

  private:
    const ByteString& bytes_;
};

struct ZipEntry {
    ByteString rawName;       // as stored; see nameIsUtf8 for how it decodes
    bool nameIsUtf8 = false;  // general-purpose bit 11
    uint32_t crc32 = 0;
    uint64_t size = 0;  // uncompressed, from the ZIP64 field where the 32-bit one is full
};

enum class ZipProblem {
    None,
    NoEndRecord,         // not a ZIP archive
    SeveralEndRecords,   // more than one end record reaches the end of the file
    SplitArchive,        // spans several disks
    BadZip64,            // a full field without a sound ZIP64 record or extra field
    Truncated,           // a record or the directory runs past the end of the file
    EntryCountMismatch,  // the end record and the entries that follow its offset disagree
};

// The entries in directory order, or the first problem found (entries then left empty).
ZipProblem readZipDirectory(const ByteSource& source, std::vector<ZipEntry>& entries);

// The problem in words, for log lines and dialogs.
const wchar_t* zipProblemText(ZipProblem problem);

}  // namespace varnix
