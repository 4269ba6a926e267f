// parseManifest and parseFreshnessLines never fail on any bytes, and what they keep is well formed.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "manifest/freshness.h"
#include "manifest/manifest.h"
#include "varnix/value_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const varnix::PackageEntry& entry : varnix::parseManifest(text)) {
        if (entry.name.empty() || entry.archive.empty() || entry.sha256.empty()) std::abort();
        for (const std::string* field : {&entry.name, &entry.archive, &entry.sha256}) {
            if (field->find_first_of("|\n") != std::string::npos) std::abort();
        }
        for (char c : entry.sha256) {
            if (c >= 'A' && c <= 'Z') std::abort();
        }
        if (entry.files.empty()) std::abort();  // an empty field still gives one empty item
        // Nothing that reaches the disk may name a place outside its own.
        if (!varnix::isSafeComponent(entry.name) || !varnix::isSafeComponent(entry.archive))
            std::abort();
        for (const std::string& item : entry.files) {
            if (!item.empty() && !varnix::isSafeListedItem(item)) std::abort();
        }
    }
    const varnix::FreshnessLines lines = varnix::parseFreshnessLines(text);
    if (!lines.wellFormed && lines.serial) std::abort();  // a bad line must cost the serial
    if (lines.serial && *lines.serial > 999999999999999999ull) std::abort();
    if (lines.expiresAt && varnix::parseUtcTime(lines.expiresText) != lines.expiresAt) std::abort();
    return 0;
}
