#include "repo_freshness.h"

#include <fstream>

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

bool chooseSerial(const std::string& requested, bool force, const LiveRelease& live,
                  std::time_t now, uint64_t& serial, std::string& error) {
    const uint64_t timeBased = timeSerial(now);
    const std::optional<uint64_t> liveSerial = live.lines.serial;
    if (requested.empty()) {
        serial = liveSerial && *liveSerial >= timeBased ? *liveSerial + 1 : timeBased;
        return true;
    }
    const std::optional<uint64_t> value = varnix::parseSerial(requested);
    if (!value) {
        error = "--serial " + requested + " is not a number of 1 to 18 digits";
        return false;
    }
    if (liveSerial && *value <= *liveSerial) {
        error = "--serial " + requested + " is not larger than the live serial " +
                std::to_string(*liveSerial);
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
    return true;
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
        if (!line.empty()) history.emplace_back(line);
    }
    return history;
}

bool appendHistory(const std::string& link, const fs::path& release, std::string& error) {
    std::ofstream stream(historyPath(link), std::ios::app);
    stream << release.string() << "\n";
    stream.flush();
    if (!stream) {
        error = "cannot append to " + historyPath(link);
        return false;
    }
    return true;
}

fs::path previousRelease(const std::vector<fs::path>& history, const fs::path& live) {
    for (size_t i = history.size(); i-- > 1;) {
        if (history[i] == live) return history[i - 1];
    }
    return {};
}

}  // namespace varnix_repo
