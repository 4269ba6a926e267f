// The archive directory reader on any bytes: it never reads outside them (the sanitizers watch
// every access), refuses or returns entries but never both, and reads the same way twice.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "packages/zip_directory.h"
#include "varnix/value_rules.h"

namespace {

// A source that counts its reads, so a directory of a few bytes cannot cost unbounded work.
class CountingSource : public varnix::BufferSource {
  public:
    using BufferSource::BufferSource;
    bool readAt(uint64_t offset, size_t length, char* buffer) const override {
        ++reads;
        return BufferSource::readAt(offset, length, buffer);
    }
    mutable size_t reads = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const CountingSource source(bytes);
    std::vector<varnix::ZipEntry> entries;
    const varnix::ZipProblem problem = varnix::readZipDirectory(source, entries);
    if (problem != varnix::ZipProblem::None && !entries.empty()) std::abort();
    if (*varnix::zipProblemText(problem) == L'\0' && problem != varnix::ZipProblem::None)
        std::abort();
    // Each entry takes 46 bytes of the directory at least, and a window covers many.
    if (entries.size() > size / 46 || source.reads > 5 + size / (64 * 1024)) std::abort();
    std::vector<varnix::ZipEntry> again;
    if (varnix::readZipDirectory(source, again) != problem || again.size() != entries.size())
        std::abort();
    for (const varnix::ZipEntry& entry : entries)
        (void)varnix::archiveEntryProblem(entry.rawName, "lib");
    return 0;
}
