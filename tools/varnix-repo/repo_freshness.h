#pragma once
// Serials, expiry and the activation history of a site link.

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "manifest/freshness.h"

namespace varnix_repo {

// The current UTC time as yyyymmddHHMMSS: grows with every release made a second later.
uint64_t timeSerial(std::time_t now);
// "YYYY-MM-DDTHH:MM:SSZ", as the manifest's expires line holds it.
std::string utcTimeText(std::time_t time);

struct LiveRelease {
    bool exists = false;
    std::filesystem::path directory;  // what the link points to
    varnix::FreshnessLines lines;
};

// The release a link serves; an absent link is no error, an unreadable manifest is.
bool readLiveRelease(const std::string& link, LiveRelease& live, std::string& error);

// The serial of the next release: `requested` when given and acceptable, otherwise the larger
// of the time-based serial and the live one + 1.
bool chooseSerial(const std::string& requested, bool force, const LiveRelease& live,
                  std::time_t now, uint64_t& serial, std::string& error);

// The freshness lines a new manifest starts with; expiresInDays < 0 writes no expiry.
std::string freshnessHeader(uint64_t serial, long expiresInDays, std::time_t now);

// LINK.history: one release directory a line, appended at each activation.
std::vector<std::filesystem::path> readHistory(const std::string& link);
bool appendHistory(const std::string& link, const std::filesystem::path& release,
                   std::string& error);
// The line before the live release's last appearance; empty when there is none.
std::filesystem::path previousRelease(const std::vector<std::filesystem::path>& history,
                                      const std::filesystem::path& live);

}  // namespace varnix_repo
