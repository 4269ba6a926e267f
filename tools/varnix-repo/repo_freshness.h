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

// The highest serial a new release may get, far below the largest one launchers read (18
// digits): a serial set too high by mistake still leaves room to go on. A site above it goes on
// at its live serial, which launchers take again as the same release seen once more.
inline constexpr uint64_t kHighestSerial = 900'000'000'000'000'000;

// The serial of the next release: `requested` when given and acceptable, otherwise the larger
// of the time-based serial and the live one + 1. `force` allows a serial more than a day ahead
// of the clock, and one equal to the live serial (the same release signed again).
bool chooseSerial(const std::string& requested, bool force, const LiveRelease& live,
                  std::time_t now, uint64_t& serial, std::string& error);

// The freshness lines a new manifest starts with; expiresInDays < 0 writes no expiry.
std::string freshnessHeader(uint64_t serial, long expiresInDays, std::time_t now);

// LINK.history: one release directory a line, appended and flushed before each switch of the
// link. A switch that then fails appends "# not live: <release>", which takes back the last line
// naming that release. readHistory gives the releases that went live, in order.
std::vector<std::filesystem::path> readHistory(const std::string& link);
bool appendHistory(const std::string& link, const std::filesystem::path& release,
                   std::string& error);
bool retractHistory(const std::string& link, const std::filesystem::path& release,
                    std::string& error);
// The line before the live release's last appearance; empty when there is none.
std::filesystem::path previousRelease(const std::vector<std::filesystem::path>& history,
                                      const std::filesystem::path& live);

}  // namespace varnix_repo
