#include "repo_freshness.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "repo_crypto.h"

namespace fs = std::filesystem;

namespace varnix_repo {
namespace {

constexpr std::time_t kDaySeconds = 24 * 60 * 60;

std::tm utc(std::time_t time) {
    std::tm parts{};
    gmtime_r(&time, &parts);
    return parts;
}

std::string historyPath(const std::string& link) {
    return link + ".history";
}

// Appended after a line whose switch failed: takes that line back.
constexpr char kNotLiveMark[] = "# not live: ";

}  // namespace

uint64_t timeSerial(std::time_t now) {
    const std::tm t = utc(now);
    uint64_t serial = static_cast<uint64_t>(t.tm_year + 1900);
    for (int part : {t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec}) {
        serial = serial * 100 + static_cast<uint64_t>(part);
    }
    return serial;
}

std::string utcTimeText(std::time_t time) {
    const std::tm t = utc(time);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &t);
    return text;
}

bool readLiveRelease(const std::string& link, LiveRelease& live, std::string& error) {
    std::error_code code;
    const bool isLink = fs::is_symlink(link, code);
    if (!isLink && !fs::exists(link, code)) return true;
    live.exists = true;
    live.directory = isLink ? fs::read_symlink(link, code) : fs::absolute(link);
    std::string manifest;
    if (code) {
        error = "cannot read the link " + link + ": " + code.message();
        return false;
    }
    if (!readFile((fs::path(link) / "manifest.txt").string(), manifest, error)) {
        error = "the live release: " + error;
        return false;
    }
    live.lines = varnix::parseFreshnessLines(manifest);
    if (!live.lines.wellFormed) {
        error = "the live release " + live.directory.string() +
                " has a malformed or repeated serial or expires line";
        return false;
    }
    return true;
}

namespace {

// Never a serial that launchers would read as malformed, and none above kHighestSerial unless it
// is the live one again.
bool serialWritable(uint64_t serial, std::optional<uint64_t> liveSerial, std::string& error) {
    const std::string text = std::to_string(serial);
    const bool again = liveSerial && serial == *liveSerial;
    const std::string wayOut = liveSerial && *liveSerial >= kHighestSerial
                                   ? "; publish at the live serial again with --serial " +
                                         std::to_string(*liveSerial) + " --force-serial"
                                   : std::string();
    if (!varnix::parseSerial(text)) {
        error = "serial " + text + " would be malformed for launchers" + wayOut;
        return false;
    }
    if (serial > kHighestSerial && !again) {
        error = "serial " + text + " is above the highest serial " +
                std::to_string(kHighestSerial) + wayOut;
        return false;
    }
    return true;
}

}  // namespace

bool chooseSerial(const std::string& requested, bool force, const LiveRelease& live,
                  std::time_t now, uint64_t& serial, std::string& error) {
    const uint64_t timeBased = timeSerial(now);
    const std::optional<uint64_t> liveSerial = live.lines.serial;
    if (requested.empty()) {
        serial = liveSerial && *liveSerial >= timeBased ? *liveSerial + 1 : timeBased;
        return serialWritable(serial, liveSerial, error);
    }
    const std::optional<uint64_t> value = varnix::parseSerial(requested);
    if (!value) {
        error = "--serial " + requested + " is not a number of 1 to 18 digits";
        return false;
    }
    if (liveSerial && (*value < *liveSerial || (*value == *liveSerial && !force))) {
        error =
            "--serial " + requested + " is not larger than the live serial " +
            std::to_string(*liveSerial) +
            (*value == *liveSerial ? "; give --force-serial to sign the same release again" : "");
        return false;
    }
    if (!force && *value > timeSerial(now + kDaySeconds)) {
        error = "--serial " + requested + " is more than a day ahead of the time-based serial " +
                std::to_string(timeBased) +
                "; launchers that see it refuse every lower one, so give --force-serial if "
                "that is meant";
        return false;
    }
    serial = *value;
    return serialWritable(serial, liveSerial, error);
}

std::string freshnessHeader(uint64_t serial, long expiresInDays, std::time_t now) {
    std::string header = "serial|" + std::to_string(serial) + "\n";
    if (expiresInDays >= 0)
        header += "expires|" + utcTimeText(now + expiresInDays * kDaySeconds) + "\n";
    return header;
}

std::vector<fs::path> readHistory(const std::string& link) {
    std::vector<fs::path> history;
    std::ifstream stream(historyPath(link));
    for (std::string line; std::getline(stream, line);) {
        if (line.rfind(kNotLiveMark, 0) == 0) {
            const fs::path retracted = line.substr(sizeof kNotLiveMark - 1);
            const auto last = std::find(history.rbegin(), history.rend(), retracted);
            if (last != history.rend()) history.erase(std::next(last).base());
        } else if (!line.empty()) {
            history.emplace_back(line);
        }
    }
    return history;
}

bool appendHistory(const std::string& link, const fs::path& release, std::string& error) {
    return appendFileDurably(historyPath(link), release.string() + "\n", error);
}

bool retractHistory(const std::string& link, const fs::path& release, std::string& error) {
    return appendFileDurably(historyPath(link), kNotLiveMark + release.string() + "\n", error);
}

// The release before the live one is the first earlier entry that differs from it: an activate
// of the live release again writes it twice, and going "back" to it would change nothing.
fs::path previousRelease(const std::vector<fs::path>& history, const fs::path& live) {
    const auto latest = std::find(history.rbegin(), history.rend(), live);
    const auto before =
        std::find_if(latest, history.rend(), [&](const fs::path& entry) { return entry != live; });
    return latest == history.rend() || before == history.rend() ? fs::path() : *before;
}

}  // namespace varnix_repo
