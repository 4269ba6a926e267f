#include "packages/zip_directory.h"

#include <algorithm>
#include <cstring>

namespace varnix {
namespace {

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kEntrySignature = 0x02014b50;
constexpr size_t kEndSize = 22;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kEntrySize = 46;
constexpr size_t kLongestComment = 65535;
constexpr uint16_t kFull16 = 0xFFFF;
constexpr uint32_t kFull32 = 0xFFFFFFFF;
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint16_t kUtf8NameFlag = 0x0800;
// Directory entries are read through a window of this size, so a directory of any length costs
// a few reads and a bounded buffer.
constexpr size_t kWindowBytes = 256 * 1024;

uint16_t little16(const char* at) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(at);
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

uint32_t little32(const char* at) {
    return little16(at) | static_cast<uint32_t>(little16(at + 2)) << 16;
}

uint64_t little64(const char* at) {
    return little32(at) | static_cast<uint64_t>(little32(at + 4)) << 32;
}

// Bytes of the source by offset, read a window at a time.
class Window {
  public:
    explicit Window(const ByteSource& source) : source_(source) {}

    // `length` bytes at `offset`, or nullptr when they lie past `limit` or cannot be read.
    const char* at(uint64_t offset, size_t length, uint64_t limit) {
        if (limit > source_.size()) limit = source_.size();
        if (offset > limit || length > limit - offset) return nullptr;
        if (offset >= start_ && offset - start_ + length <= buffer_.size())
            return buffer_.data() + (offset - start_);
        const size_t wanted =
            static_cast<size_t>(std::min<uint64_t>(std::max(length, kWindowBytes), limit - offset));
        buffer_.resize(wanted);
        start_ = offset;
        if (!source_.readAt(offset, wanted, buffer_.data())) {
            buffer_.clear();
            return nullptr;
        }
        return buffer_.data();
    }

  private:
    const ByteSource& source_;
    ByteString buffer_;
    uint64_t start_ = 0;
};

// Where the directory lies and how many entries it says it holds.
struct DirectoryBounds {
    uint64_t start = 0;
    uint64_t end = 0;  // the first byte of the end records
    uint64_t count = 0;
};

// The last end signature that leaves room for its record, searched backwards as .NET does
// (which takes the first it meets); a second one whose comment reaches the file's end would be
// the end record to a reader that checks the comment's length.
ZipProblem findEndRecord(Window& window, uint64_t size, uint64_t& found) {
    if (size < kEndSize) return ZipProblem::NoEndRecord;
    const uint64_t tailLength = std::min<uint64_t>(size, kEndSize + kLongestComment);
    const uint64_t tailStart = size - tailLength;
    const char* tail = window.at(tailStart, static_cast<size_t>(tailLength), size);
    if (tail == nullptr) return ZipProblem::Truncated;
    bool seen = false;
    for (uint64_t at = tailLength - kEndSize + 1; at-- > 0;) {
        if (little32(tail + at) != kEndSignature) continue;
        if (!seen) {
            seen = true;
            found = tailStart + at;
        } else if (at + kEndSize + little16(tail + at + 20) == tailLength) {
            return ZipProblem::SeveralEndRecords;
        }
    }
    if (!seen) return ZipProblem::NoEndRecord;
    const uint64_t end = found - tailStart;
    return end + kEndSize + little16(tail + end + 20) > tailLength ? ZipProblem::Truncated
                                                                   : ZipProblem::None;
}

// The ZIP64 end record through its locator, which lies right before the end record.
ZipProblem readZip64Bounds(Window& window, uint64_t endRecord, DirectoryBounds& bounds) {
    if (endRecord < kZip64LocatorSize) return ZipProblem::BadZip64;
    const uint64_t locatorAt = endRecord - kZip64LocatorSize;
    const char* locator = window.at(locatorAt, kZip64LocatorSize, endRecord);
    if (locator == nullptr || little32(locator) != kZip64LocatorSignature)
        return ZipProblem::BadZip64;
    if (little32(locator + 4) != 0 || little32(locator + 16) > 1) return ZipProblem::SplitArchive;
    const uint64_t recordAt = little64(locator + 8);
    const char* record = window.at(recordAt, kZip64EndSize, locatorAt);
    if (record == nullptr || little32(record) != kZip64EndSignature) return ZipProblem::BadZip64;
    if (little32(record + 16) != 0 || little32(record + 20) != 0 ||
        little64(record + 24) != little64(record + 32)) {
        return ZipProblem::SplitArchive;
    }
    bounds = {little64(record + 48), recordAt, little64(record + 32)};
    return ZipProblem::None;
}

ZipProblem readBounds(Window& window, uint64_t size, DirectoryBounds& bounds) {
    uint64_t endAt = 0;
    if (ZipProblem problem = findEndRecord(window, size, endAt); problem != ZipProblem::None)
        return problem;
    const char* end = window.at(endAt, kEndSize, size);
    if (end == nullptr) return ZipProblem::Truncated;
    const uint16_t disk = little16(end + 4), directoryDisk = little16(end + 6);
    const uint16_t countOnDisk = little16(end + 8), count = little16(end + 10);
    const uint32_t offset = little32(end + 16);
    if (disk != directoryDisk || countOnDisk != count) return ZipProblem::SplitArchive;
    // The fields .NET looks at to decide that the ZIP64 record holds the real values.
    if (disk == kFull16 || offset == kFull32 || count == kFull16)
        return readZip64Bounds(window, endAt, bounds);
    if (disk != 0) return ZipProblem::SplitArchive;
    bounds = {offset, endAt, count};
    return ZipProblem::None;
}

// The uncompressed size from the ZIP64 extra field, whose values follow in a fixed order and
// are present only for the fields that are full.
ZipProblem readZip64Size(const char* extra, size_t extraLength, bool sizeFull, bool compressedFull,
                         bool offsetFull, bool diskFull, uint64_t& size) {
    const size_t needed = 8 * (sizeFull + compressedFull + offsetFull) + 4 * diskFull;
    for (size_t at = 0; at + 4 <= extraLength;) {
        const uint16_t id = little16(extra + at), length = little16(extra + at + 2);
        if (length > extraLength - at - 4) break;
        if (id == kZip64ExtraId) {
            if (length < needed) return ZipProblem::BadZip64;
            if (sizeFull) size = little64(extra + at + 4);
            return ZipProblem::None;
        }
        at += 4 + length;
    }
    return ZipProblem::BadZip64;
}

// One directory entry at `at`, which moves past it.
ZipProblem readEntry(Window& window, const DirectoryBounds& bounds, uint64_t& at, ZipEntry& entry) {
    const char* fixed = window.at(at, kEntrySize, bounds.end);
    if (fixed == nullptr || little32(fixed) != kEntrySignature)
        return ZipProblem::EntryCountMismatch;
    const uint16_t flags = little16(fixed + 8);
    const uint32_t crc = little32(fixed + 16), compressed = little32(fixed + 20);
    const uint32_t size = little32(fixed + 24);
    const uint16_t nameLength = little16(fixed + 28), extraLength = little16(fixed + 30);
    const uint16_t commentLength = little16(fixed + 32), disk = little16(fixed + 34);
    const uint32_t localOffset = little32(fixed + 42);
    const size_t variable = size_t{nameLength} + extraLength + commentLength;
    const char* rest = window.at(at + kEntrySize, variable, bounds.end);
    if (rest == nullptr) return ZipProblem::Truncated;
    entry.rawName.assign(rest, nameLength);
    entry.nameIsUtf8 = (flags & kUtf8NameFlag) != 0;
    entry.crc32 = crc;
    entry.size = size;
    if (size == kFull32 || compressed == kFull32 || localOffset == kFull32 || disk == kFull16) {
        if (ZipProblem problem = readZip64Size(rest + nameLength, extraLength, size == kFull32,
                                               compressed == kFull32, localOffset == kFull32,
                                               disk == kFull16, entry.size);
            problem != ZipProblem::None) {
            return problem;
        }
    }
    at += kEntrySize + variable;
    return ZipProblem::None;
}

}  // namespace

bool BufferSource::readAt(uint64_t offset, size_t length, char* buffer) const {
    if (offset > bytes_.size() || length > bytes_.size() - offset) return false;
    std::memcpy(buffer, bytes_.data() + offset, length);
    return true;
}

constexpr uint64_t kReservedEntries = 4096;

ZipProblem readZipDirectory(const ByteSource& source, std::vector<ZipEntry>& entries) {
    entries.clear();
    Window window(source);
    DirectoryBounds bounds;
    ZipProblem problem = readBounds(window, source.size(), bounds);
    if (problem != ZipProblem::None) return problem;
    if (bounds.start > bounds.end) return ZipProblem::Truncated;
    // Every entry takes at least its fixed part: a larger count cannot be what the directory holds.
    if (bounds.count > (bounds.end - bounds.start) / kEntrySize)
        return ZipProblem::EntryCountMismatch;
    // The count is only a claim until the entries are read: memory grows with what is there.
    std::vector<ZipEntry> read;
    read.reserve(static_cast<size_t>(std::min<uint64_t>(bounds.count, kReservedEntries)));
    uint64_t at = bounds.start;
    for (uint64_t index = 0; index < bounds.count; ++index) {
        ZipEntry entry;
        if ((problem = readEntry(window, bounds, at, entry)) != ZipProblem::None) return problem;
        read.push_back(std::move(entry));
    }
    // .NET reads entries for as long as their signature follows, then compares the count.
    const char* next = window.at(at, 4, bounds.end);
    if (next != nullptr && little32(next) == kEntrySignature) return ZipProblem::EntryCountMismatch;
    entries = std::move(read);
    return ZipProblem::None;
}

const wchar_t* zipProblemText(ZipProblem problem) {
    switch (problem) {
        case ZipProblem::None:
            return L"";
        case ZipProblem::NoEndRecord:
            return L"не найден конец каталога ZIP";
        case ZipProblem::SeveralEndRecords:
            return L"в архиве больше одного конца каталога";
        case ZipProblem::SplitArchive:
            return L"архив разбит на тома";
        case ZipProblem::BadZip64:
            return L"повреждены сведения ZIP64";
        case ZipProblem::Truncated:
            return L"запись выходит за конец архива";
        case ZipProblem::EntryCountMismatch:
            return L"число записей каталога не совпадает с заявленным";
    }
    return L"";
}

}  // namespace varnix
