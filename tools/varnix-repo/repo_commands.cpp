#include "repo_commands.h"

#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string_view>

#include "manifest/manifest.h"
#include "varnix/value_rules.h"
#include "repo_archive.h"
#include "repo_crypto.h"
#include "repo_freshness.h"

namespace fs = std::filesystem;

namespace varnix_repo {
namespace {

struct PackageSpec {
    std::string name;
    std::string archivePath;
    bool required = false;
    bool filesGiven = false;
    std::vector<std::string> files;
};

bool hasAny(const std::string& text, const char* characters) {
    return text.find_first_of(characters, 0, std::char_traits<char>::length(characters)) !=
           std::string::npos;
}

// Names become one path component on the user's machine (markers, backups, downloads).
std::string checkComponent(const std::string& what, const std::string& value) {
    if (value.empty()) return what + " is empty";
    if (hasAny(value, "|\r\n")) return what + " \"" + value + "\" holds \"|\" or a line break";
    // The launcher skips a line with such a value: the package would never install.
    if (std::string_view problem = varnix::componentProblem(value); !problem.empty()) {
        return what + " \"" + value + "\" is not a plain file name: it " + std::string(problem);
    }
    return {};
}

std::string checkFileItem(const std::string& item) {
    if (hasAny(item, "|;\r\n"))
        return "listed file \"" + item + "\" holds \"|\", \";\" or a line break";
    if (entryEscapes(item)) return "listed file \"" + item + "\" lies outside the system directory";
    if (std::string_view problem = varnix::listedItemProblem(item); !problem.empty())
        return "listed file \"" + item + "\" " + std::string(problem);
    return {};
}

// Line numbers of the "package|" lines that the launcher would skip as invalid.
std::vector<int> invalidPackageLines(const std::string& manifest) {
    std::vector<int> lines;
    int number = 0;
    for (const std::string& line : varnix::splitString(manifest, '\n')) {
        ++number;
        size_t skipped = 0;
        varnix::parseManifest(line, &skipped);
        if (skipped > 0) lines.push_back(number);
    }
    return lines;
}

bool parsePackageList(const std::string& text, std::vector<PackageSpec>& specs,
                      std::string& error) {
    std::istringstream stream(text);
    int lineNumber = 0;
    for (std::string line; std::getline(stream, line);) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> fields = varnix::splitString(line, '|');
        const std::string where = "package list line " + std::to_string(lineNumber) + ": ";
        if (fields.size() < 3 || fields.size() > 4) {
            error = where + "expected name|archive|required[|file;file...]";
            return false;
        }
        PackageSpec spec;
        spec.name = fields[0];
        spec.archivePath = fields[1];
        if (fields[2] != "0" && fields[2] != "1") {
            error = where + "required must be 0 or 1";
            return false;
        }
        spec.required = fields[2] == "1";
        if (fields.size() == 4) {
            spec.filesGiven = true;
            for (const std::string& item : varnix::splitString(fields[3], ';')) {
                if (item.empty()) continue;
                if (std::string problem = checkFileItem(item); !problem.empty()) {
                    error = where + problem;
                    return false;
                }
                spec.files.push_back(item);
            }
        }
        for (const auto& [what, value] :
             {std::pair{"name", spec.name},
              std::pair{"archive", fs::path(spec.archivePath).filename().string()}}) {
            if (std::string problem = checkComponent(what, value); !problem.empty()) {
                error = where + problem;
                return false;
            }
        }
        specs.push_back(spec);
    }
    if (specs.empty()) {
        error = "the package list names no package";
        return false;
    }
    return true;
}

bool listedFileInArchive(const std::string& item, const ArchiveListing& listing) {
    for (const std::string& entry : listing.files) {
        if (sameRelativePath(item, entry)) return true;
    }
    return false;
}

// The package named "launcher" carries the launcher where launchers look for their successor
// (system\launcher\VarnixLauncher.exe), listed, so that its backup and marker cover it.
std::string launcherLayoutProblem(const std::string& name, const std::vector<std::string>& listed,
                                  const ArchiveListing& listing) {
    constexpr char kLauncherEntry[] = "launcher/VarnixLauncher.exe";
    if (name != "launcher") return {};
    if (!listedFileInArchive(kLauncherEntry, listing))
        return std::string("the launcher package does not hold ") + kLauncherEntry;
    for (const std::string& item : listed) {
        if (sameRelativePath(item, kLauncherEntry)) return {};
    }
    return std::string("the launcher package does not list ") + kLauncherEntry;
}

std::string joinFiles(const std::vector<std::string>& files) {
    std::string joined;
    for (size_t i = 0; i < files.size(); ++i)
        joined += (i ? ";" : "") + files[i];
    return joined;
}

constexpr char kManifestComment[] = "# Varnix package manifest\n";

std::string signAndWriteManifest(const std::string& keyPath, const std::string& manifest,
                                 const fs::path& staging) {
    std::string signature;
    std::string error;
    if (!signBytes(keyPath, manifest, signature, error)) return error;
    if (!writeFile((staging / "manifest.txt").string(), manifest) ||
        !writeFile((staging / "manifest.txt.sig").string(), signature)) {
        return "cannot write the manifest or its signature";
    }
    return {};
}

// Builds the release in `staging`; returns an error text, empty on success.
std::string buildRelease(const std::string& keyPath, std::vector<PackageSpec>& specs,
                         const std::string& freshness, const fs::path& staging) {
    fs::create_directories(staging / "packages");
    std::string manifest = kManifestComment + freshness;
    for (PackageSpec& spec : specs) {
        std::string data;
        if (!readFile(spec.archivePath, data)) return "cannot read archive " + spec.archivePath;
        const ArchiveListing listing = listArchive(spec.archivePath);
        if (!listing.readable)
            return spec.archivePath + " is not a readable ZIP archive: " + listing.error;
        if (!listing.escaping.empty()) {
            return spec.archivePath + ": entry \"" + listing.escaping[0] +
                   "\" lies outside the destination";
        }
        if (!spec.filesGiven) spec.files = listing.files;
        for (const std::string& item : spec.files) {
            if (std::string problem = checkFileItem(item); !problem.empty()) {
                return spec.archivePath + ": " + problem;
            }
            if (!listedFileInArchive(item, listing)) {
                return spec.archivePath + " does not hold listed file " + item;
            }
        }
        if (std::string problem = launcherLayoutProblem(spec.name, spec.files, listing);
            !problem.empty()) {
            return spec.archivePath + ": " + problem;
        }
        const std::string archiveName = fs::path(spec.archivePath).filename().string();
        if (!writeFile((staging / "packages" / archiveName).string(), data)) {
            return "cannot write " + archiveName;
        }
        manifest += "package|" + spec.name + "|" + archiveName + "|" + sha256Hex(data) + "|" +
                    (spec.required ? "1" : "0") + "|" + joinFiles(spec.files) + "\n";
    }
    return signAndWriteManifest(keyPath, manifest, staging);
}

// The same packages as `source`, archives copied and checked, under new freshness lines.
std::string rebuildRelease(const std::string& keyPath, const fs::path& source,
                           const std::string& freshness, const fs::path& staging) {
    std::string sourceManifest;
    if (!readFile((source / "manifest.txt").string(), sourceManifest)) {
        return "cannot read " + (source / "manifest.txt").string();
    }
    fs::create_directories(staging / "packages");
    std::string manifest = kManifestComment + freshness;
    for (const std::string& rawLine : varnix::splitString(sourceManifest, '\n')) {
        const std::string line = varnix::trimWhitespace(rawLine);
        const varnix::Manifest entries = varnix::parseManifest(line);
        if (entries.empty()) continue;  // old freshness lines, comments
        std::string data;
        const fs::path archive = source / "packages" / entries[0].archive;
        if (!checkComponent("archive", entries[0].archive).empty() ||
            !readFile(archive.string(), data) || sha256Hex(data) != entries[0].sha256) {
            return archive.string() + " is missing or differs from its manifest";
        }
        if (!writeFile((staging / "packages" / entries[0].archive).string(), data)) {
            return "cannot write " + entries[0].archive;
        }
        manifest += line + "\n";
    }
    return signAndWriteManifest(keyPath, manifest, staging);
}

// Builds a release beside `target` and renames it into place, so a failed build leaves nothing.
std::string placeRelease(const fs::path& target,
                         const std::function<std::string(const fs::path&)>& build) {
    if (fs::exists(target)) {
        return target.string() + " exists; every release goes into a new directory";
    }
    const fs::path staging = target.string() + ".partial-" + std::to_string(::getpid());
    std::error_code code;
    fs::remove_all(staging, code);
    std::string error = build(staging);
    if (error.empty()) {
        fs::rename(staging, target, code);
        if (code) error = "cannot move the release into place: " + code.message();
    }
    if (!error.empty()) fs::remove_all(staging, code);
    return error;
}

// Points `link` at `target` in one rename, so the site never serves a half-switched release.
bool activate(const fs::path& target, const fs::path& link, std::string& error) {
    const fs::path staging = link.string() + ".new-" + std::to_string(::getpid());
    std::error_code code;
    fs::remove(staging, code);
    fs::create_directory_symlink(target, staging, code);
    if (!code) fs::rename(staging, link, code);
    if (code) {
        error = "cannot switch " + link.string() + ": " + code.message();
        fs::remove(staging, code);
        return false;
    }
    return true;
}

bool signatureVerifies(const std::string& publicKeyPath, const fs::path& release,
                       std::string& error) {
    std::string manifest, signature;
    bool valid = false;
    if (!readFile((release / "manifest.txt").string(), manifest) ||
        !readFile((release / "manifest.txt.sig").string(), signature)) {
        error = release.string() + " holds no manifest.txt and manifest.txt.sig";
        return false;
    }
    if (!verifyBytes(publicKeyPath, manifest, signature, valid, error)) return false;
    if (!valid) error = release.string() + ": manifest.txt.sig does not verify with this key";
    return valid;
}

// Reports malformed or passed freshness lines; returns what verify shows of them.
std::string checkFreshness(const std::string& manifestText, std::time_t now,
                           const std::function<void(const std::string&)>& problem) {
    const varnix::FreshnessLines lines = varnix::parseFreshnessLines(manifestText);
    if (!lines.wellFormed) {
        problem(
            "manifest.txt has a malformed or repeated serial or expires line; launchers "
            "that have seen a serial refuse it");
        return {};
    }
    if (lines.expiresAt && now > *lines.expiresAt) {
        problem("manifest.txt expired at " + lines.expiresText);
    }
    return "serial: " +
           (lines.serial ? std::to_string(*lines.serial)
                         : std::string("none (launchers that have seen one refuse it)")) +
           "\nexpires: " + (lines.expiresAt ? lines.expiresText : std::string("never")) + "\n";
}

std::optional<uint64_t> releaseSerial(const fs::path& release) {
    std::string manifest;
    if (!readFile((release / "manifest.txt").string(), manifest)) return std::nullopt;
    return varnix::parseFreshnessLines(manifest).serial;
}

// Everything a launcher would check, with the key it carries, before the link moves.
std::string checkBeforeSwitch(const GoLiveKey& key, const fs::path& release,
                              const LiveRelease& live, bool force) {
    std::string error;
    if (!key.fingerprint.empty()) {
        std::string actual;
        if (!publicKeyFingerprint(key.publicKeyPath, actual, error)) return error;
        if (actual != varnix::toLowerAscii(key.fingerprint)) {
            return key.publicKeyPath + " has the fingerprint " + actual + ", not the expected " +
                   key.fingerprint;
        }
    }
    std::ostringstream verifyOut, verifyErr;
    if (verifyCommand(key.publicKeyPath, release.string(), verifyOut, verifyErr) != 0) {
        return release.string() + " does not pass verify with " + key.publicKeyPath + ":\n" +
               verifyErr.str();
    }
    const std::optional<uint64_t> serial = releaseSerial(release);
    if (!force && live.lines.serial && (!serial || *serial < *live.lines.serial)) {
        return release.string() + " has " +
               (serial ? "the serial " + std::to_string(*serial) : std::string("no serial")) +
               ", lower than the live " + std::to_string(*live.lines.serial) +
               ": every launcher that has seen the live one would refuse it. Use rollback, or "
               "--force";
    }
    return {};
}

// One spelling per release directory, as the link and the history hold it: absolute, no "."
// or "..", no trailing "/".
fs::path releaseDirectory(const std::string& given) {
    const fs::path path = fs::absolute(given).lexically_normal();
    return path.has_filename() ? path : path.parent_path();
}

bool switchAndRecord(const fs::path& target, const std::string& link, std::string& error) {
    return activate(target, link, error) && appendHistory(link, target, error);
}

}  // namespace

int keygenCommand(const std::string& outDir, std::ostream& out, std::ostream& err) {
    std::error_code code;
    fs::create_directories(outDir, code);
    const std::string privatePath = (fs::path(outDir) / "manifest-private.pem").string();
    const std::string publicPath = (fs::path(outDir) / "manifest-public.pem").string();
    std::string error;
    if (!generateKeyPair(privatePath, publicPath, error)) {
        err << "keygen: " << error << "\n";
        return 1;
    }
    out << "wrote " << privatePath << " (keep it secret) and " << publicPath << "\n";
    return 0;
}

int signCommand(const std::string& keyPath, const std::string& file, const std::string& sigPath,
                bool unchecked, std::ostream& out, std::ostream& err) {
    std::string data, signature, error;
    if (!readFile(file, data)) {
        err << "sign: cannot read " << file << "\n";
        return 1;
    }
    // A signature vouches for every line: a hand-edited line that the launcher would refuse is
    // refused here first. --unchecked is for tests of the launcher's own defence.
    if (const std::vector<int> invalid = invalidPackageLines(data);
        !invalid.empty() && !unchecked) {
        for (int line : invalid)
            err << "sign: " << file << " line " << line << ": invalid package line\n";
        return 1;
    }
    if (!signBytes(keyPath, data, signature, error)) {
        err << "sign: " << error << "\n";
        return 1;
    }
    if (!writeFile(sigPath, signature)) {
        err << "sign: cannot write " << sigPath << "\n";
        return 1;
    }
    out << "wrote " << sigPath << "\n";
    return 0;
}

int publishCommand(const PublishOptions& options, std::ostream& out, std::ostream& err) {
    std::string listText, error;
    std::vector<PackageSpec> specs;
    if (!readFile(options.listPath, listText)) {
        err << "publish: cannot read package list " << options.listPath << "\n";
        return 1;
    }
    if (!parsePackageList(listText, specs, error)) {
        err << "publish: " << error << "\n";
        return 1;
    }
    LiveRelease live;
    uint64_t serial = 0;
    const std::time_t now = std::time(nullptr);
    const std::string& liveLink =
        options.activateLink.empty() ? options.liveLink : options.activateLink;
    if ((!liveLink.empty() && !readLiveRelease(liveLink, live, error)) ||
        !chooseSerial(options.serial, options.forceSerial, live, now, serial, error)) {
        err << "publish: " << error << "\n";
        return 1;
    }
    const std::string freshness = freshnessHeader(serial, options.expiresInDays, now);
    const fs::path target = releaseDirectory(options.outDir);
    error = placeRelease(target, [&](const fs::path& staging) {
        return buildRelease(options.keyPath, specs, freshness, staging);
    });
    if (!error.empty()) {
        err << "publish: " << error << "\n";
        return 1;
    }
    out << "published " << specs.size() << " package(s) to " << options.outDir << " (serial "
        << serial << ")\n";
    if (!options.activateLink.empty()) {
        error = checkBeforeSwitch(options.goLive, target, live, false);
        if (!error.empty()) {
            err << "publish: " << error << "\n"
                << "publish: " << options.activateLink << " still serves what it served\n";
            return 1;
        }
        if (!switchAndRecord(target, options.activateLink, error)) {
            err << "publish: " << error << "\n";
            return 1;
        }
        out << options.activateLink << " now serves " << options.outDir << "\n";
    }
    return 0;
}

int rollbackCommand(const RollbackOptions& options, std::ostream& out, std::ostream& err) {
    auto fail = [&](const std::string& text) {
        err << "rollback: " << text << "\n";
        return 1;
    };
    LiveRelease live;
    std::string error;
    if (!readLiveRelease(options.link, live, error)) return fail(error);
    if (!live.exists) return fail(options.link + " serves no release");
    const fs::path source = options.to.empty()
                                ? previousRelease(readHistory(options.link), live.directory)
                                : releaseDirectory(options.to);
    if (source.empty()) {
        return fail(options.link + ".history names no release before the live one; give --to");
    }
    // Only what this key signed before is signed again; its expiry may well have passed.
    if (!signatureVerifies(options.goLive.publicKeyPath, source, error)) return fail(error);
    uint64_t serial = 0;
    const std::time_t now = std::time(nullptr);
    if (!chooseSerial("", false, live, now, serial, error)) return fail(error);
    const fs::path target =
        source.parent_path() / (source.filename().string() + "-rollback-" + std::to_string(serial));
    error = placeRelease(target, [&](const fs::path& staging) {
        const std::string problem = rebuildRelease(
            options.keyPath, source, freshnessHeader(serial, options.expiresInDays, now), staging);
        return problem.empty() ? checkBeforeSwitch(options.goLive, staging, live, false) : problem;
    });
    if (!error.empty()) return fail(error);
    if (!switchAndRecord(target, options.link, error)) return fail(error);
    out << options.link << " now serves " << target.string() << ": the packages of "
        << source.string() << " under serial " << serial << "\n";
    return 0;
}

int activateCommand(const ActivateOptions& options, std::ostream& out, std::ostream& err) {
    LiveRelease live;
    std::string error;
    const fs::path release = releaseDirectory(options.release);
    if (!fs::is_directory(release)) {
        error = options.release + " is not a release directory";
    } else if (readLiveRelease(options.link, live, error)) {
        error = checkBeforeSwitch(options.goLive, release, live, options.force);
    }
    if (error.empty()) switchAndRecord(release, options.link, error);
    if (!error.empty()) {
        err << "activate: " << error << "\n";
        return 1;
    }
    out << options.link << " now serves " << release.string() << "\n";
    return 0;
}

int statusCommand(const std::string& link, const std::string& publicKeyPath, std::ostream& out,
                  std::ostream& err) {
    LiveRelease live;
    std::string error, manifestText;
    if (!readLiveRelease(link, live, error)) {
        err << "status: " << error << "\n";
        return 1;
    }
    if (!live.exists || !readFile((fs::path(link) / "manifest.txt").string(), manifestText)) {
        err << "status: " << link << " serves no release\n";
        return 1;
    }
    out << "live: " << live.directory.string() << "\n"
        << "serial: " << (live.lines.serial ? std::to_string(*live.lines.serial) : "none") << "\n"
        << "expires: " << (live.lines.expiresAt ? live.lines.expiresText : "never") << "\n";
    for (const varnix::PackageEntry& entry : varnix::parseManifest(manifestText)) {
        out << "package: " << entry.name << " " << entry.archive << " "
            << (entry.required ? "required" : "optional") << " " << entry.sha256 << "\n";
    }
    if (publicKeyPath.empty()) {
        out << "key: not checked (give --public-key)\n";
        return 0;
    }
    std::string fingerprint;
    if (!publicKeyFingerprint(publicKeyPath, fingerprint, error)) {
        err << "status: " << error << "\n";
        return 1;
    }
    const bool valid = signatureVerifies(publicKeyPath, fs::path(link), error);
    out << "key: " << fingerprint << (valid ? " (signature valid)" : " (signature does NOT verify)")
        << "\n";
    return valid ? 0 : 1;
}

int verifyCommand(const std::string& publicKeyPath, const std::string& siteDir, std::ostream& out,
                  std::ostream& err) {
    int problems = 0;
    auto problem = [&](const std::string& text) {
        err << text << "\n";
        ++problems;
    };
    const fs::path site = siteDir;
    std::string manifestText, signature;
    if (!readFile((site / "manifest.txt").string(), manifestText))
        problem("manifest.txt is missing");
    if (!readFile((site / "manifest.txt.sig").string(), signature))
        problem("manifest.txt.sig is missing");
    if (problems) return 1;
    bool valid = false;
    std::string error;
    if (!verifyBytes(publicKeyPath, manifestText, signature, valid, error)) {
        problem("public key: " + error);
        return 1;
    }
    if (!valid) problem("manifest.txt.sig does not verify manifest.txt with this key");
    const std::string freshness = checkFreshness(manifestText, std::time(nullptr), problem);

    const varnix::Manifest manifest = varnix::parseManifest(manifestText);
    if (manifest.empty()) problem("manifest.txt holds no valid package line");
    for (int line : invalidPackageLines(manifestText))
        problem("manifest.txt line " + std::to_string(line) + ": invalid package line");
    for (const varnix::PackageEntry& entry : manifest) {
        const std::string where = "package " + entry.name + ": ";
        const fs::path archive = site / "packages" / entry.archive;
        std::string data;
        if (!checkComponent("archive", entry.archive).empty() ||
            !readFile(archive.string(), data)) {
            problem(where + "archive packages/" + entry.archive + " is missing");
            continue;
        }
        if (sha256Hex(data) != entry.sha256)
            problem(where + "archive hash differs from the manifest");
        const ArchiveListing listing = listArchive(archive.string());
        if (!listing.readable) {
            problem(where + "archive is not a valid ZIP: " + listing.error);
            continue;
        }
        for (const std::string& entryName : listing.escaping) {
            problem(where + "archive entry \"" + entryName + "\" lies outside the destination");
        }
        for (const std::string& item : entry.files) {
            if (!item.empty() && !listedFileInArchive(item, listing)) {
                problem(where + "archive does not hold listed file " + item);
            }
        }
        if (std::string layout = launcherLayoutProblem(entry.name, entry.files, listing);
            !layout.empty()) {
            problem(where + layout);
        }
    }
    if (problems) return 1;
    out << freshness << "ok: " << manifest.size() << " package(s), signature valid\n";
    return 0;
}

}  // namespace varnix_repo
