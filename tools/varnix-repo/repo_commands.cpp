#include "repo_commands.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string_view>

#include "manifest/manifest.h"
#include "repo_archive.h"
#include "repo_crypto.h"
#include "repo_freshness.h"
#include "varnix/value_rules.h"

namespace fs = std::filesystem;

namespace varnix_repo {
namespace {

struct PackageLine {
    std::string name;
    std::string archivePath;  // a ZIP archive, or a folder that is packed into one
    std::string archiveName;  // as the manifest and the site hold it
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

constexpr char kZipSuffix[] = ".zip";
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

bool endsWithZip(const std::string& name) {
    const size_t length = sizeof kZipSuffix - 1;
    return name.size() > length &&
           varnix::toLowerAscii(name.substr(name.size() - length)) == kZipSuffix;
}

// Two values that Windows would take for one file: names compare without case there.
std::string windowsKey(const std::string& value) {
    return varnix::toLowerAscii(value);
}

// Upper case of the letters whose case Windows folds in file names that release engineers use:
// ASCII and Cyrillic (U+0400-052F). Other scripts keep their case here, though Windows folds them.
char32_t upperForFileName(char32_t c) {
    if (c >= U'a' && c <= U'z') return c - 0x20;
    if (c >= 0x0430 && c <= 0x044F) return c - 0x20;   // а-я
    if (c >= 0x0450 && c <= 0x045F) return c - 0x50;   // ѐ-џ
    if (c == 0x04CF) return 0x04C0;                    // ӏ
    const bool oddUpper = c >= 0x04C1 && c <= 0x04CE;  // Ӂ-ӎ pair odd upper with even lower
    const bool evenUpper = (c >= 0x0460 && c <= 0x0481) || (c >= 0x048A && c <= 0x04BF) ||
                           (c >= 0x04D0 && c <= 0x052F);
    if ((oddUpper && c % 2 == 0) || (evenUpper && c % 2 == 1)) return c - 1;
    return c;
}

// One key for listed items that Windows takes for one file: case folded as above, "/" as "\".
std::string fileNameKey(const std::string& item) {
    std::string key;
    for (size_t i = 0; i < item.size();) {
        const auto lead = static_cast<unsigned char>(item[i]);
        const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (length > 2 || i + length > item.size()) {  // beyond Cyrillic: kept as it is
            key.append(item, i, length);
            i += length;
            continue;
        }
        char32_t c = length == 1 ? lead : ((lead & 0x1Fu) << 6) | (item[i + 1] & 0x3Fu);
        c = c == U'/' ? U'\\' : upperForFileName(c);
        if (c < 0x80) {
            key += static_cast<char>(c);
        } else {
            key += static_cast<char>(0xC0 | (c >> 6));
            key += static_cast<char>(0x80 | (c & 0x3F));
        }
        i += length;
    }
    return key;
}

// Two listed items of one package that name one file on Windows: the launcher would keep only
// the first, so the line says something it does not mean.
std::string duplicateListedFile(const std::vector<std::string>& files) {
    std::map<std::string, std::string> seen;
    for (const std::string& item : files) {
        if (item.empty()) continue;
        if (auto [it, fresh] = seen.emplace(fileNameKey(item), item); !fresh) {
            return "listed files \"" + it->second + "\" and \"" + item +
                   "\" name one file on Windows";
        }
    }
    return {};
}

// A folder in the list is packed under its own name: "core/" becomes core.zip.
std::string archiveNameOf(const std::string& archivePath) {
    fs::path path = fs::path(archivePath).lexically_normal();
    if (!path.has_filename()) path = path.parent_path();
    std::error_code code;
    return fs::is_directory(archivePath, code) ? path.filename().string() + kZipSuffix
                                               : path.filename().string();
}

// Names and archives that would meet in one marker, download or site file on Windows.
std::string findDuplicates(const std::vector<PackageLine>& packages) {
    std::map<std::string, std::string> names, archives;
    for (const PackageLine& package : packages) {
        if (auto [it, fresh] = names.emplace(windowsKey(package.name), package.name); !fresh)
            return "package names \"" + it->second + "\" and \"" + package.name +
                   "\" are the same on Windows";
        if (auto [it, fresh] =
                archives.emplace(windowsKey(package.archiveName), package.archivePath);
            !fresh) {
            return it->second + " and " + package.archivePath + " would both be packages/" +
                   package.archiveName + "; rename one";
        }
    }
    return {};
}

bool parsePackageList(const std::string& text, std::vector<PackageLine>& packages,
                      std::string& error) {
    if (text.rfind(kUtf8Bom, 0) == 0) {
        error = "the package list starts with a byte-order mark; save it as UTF-8 without one";
        return false;
    }
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
        for (size_t i = 0; i < fields.size(); ++i) {
            if (varnix::trimWhitespace(fields[i]) != fields[i]) {
                error = where + "field " + std::to_string(i + 1) + " \"" + fields[i] +
                        "\" has blanks around it; they would become part of the value";
                return false;
            }
        }
        PackageLine package;
        package.name = fields[0];
        package.archivePath = fields[1];
        package.archiveName = archiveNameOf(package.archivePath);
        if (fields[2] != "0" && fields[2] != "1") {
            error = where + "required must be 0 or 1";
            return false;
        }
        package.required = fields[2] == "1";
        if (fields.size() == 4) {
            package.filesGiven = true;
            for (const std::string& item : varnix::splitString(fields[3], ';')) {
                if (item.empty()) continue;
                if (std::string problem = checkFileItem(item); !problem.empty()) {
                    error = where + problem;
                    return false;
                }
                package.files.push_back(item);
            }
        }
        for (const auto& [what, value] :
             {std::pair{"name", package.name}, std::pair{"archive", package.archiveName}}) {
            if (std::string problem = checkComponent(what, value); !problem.empty()) {
                error = where + problem;
                return false;
            }
        }
        if (!endsWithZip(package.archiveName)) {
            error = where + "archive " + package.archiveName + " does not end in \".zip\"";
            return false;
        }
        packages.push_back(package);
    }
    if (packages.empty()) {
        error = "the package list names no package";
        return false;
    }
    error = findDuplicates(packages);
    return error.empty();
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

std::string signAndWriteManifest(const PrivateKey& key, const std::string& manifest,
                                 const fs::path& staging) {
    std::string signature;
    std::string error;
    if (!signBytes(key, manifest, signature, error) ||
        !writeFile((staging / "manifest.txt").string(), manifest, error) ||
        !writeFile((staging / "manifest.txt.sig").string(), signature, error)) {
        return error;
    }
    return {};
}

// The first entry the launcher refuses to extract for this package (every entry is written, not
// only the listed ones), with the reason; empty when none.
std::string forbiddenEntryProblem(const std::string& packageName, const ArchiveListing& listing) {
    for (const std::string& entry : listing.entries) {
        if (std::string_view why = varnix::archiveEntryProblem(entry, packageName); !why.empty())
            return "entry \"" + entry + "\" " + std::string(why) + ": the launcher refuses it";
    }
    return {};
}

// What Windows or the launcher would trip on in an archive it extracts; empty when nothing.
std::string archiveProblem(const std::string& packageName, const ArchiveListing& listing) {
    if (!listing.readable) return "is not a readable ZIP archive: " + listing.error;
    if (!listing.escaping.empty())
        return "entry \"" + listing.escaping[0] + "\" lies outside the destination";
    if (listing.files.empty()) return "holds no file";
    if (!listing.unflagged.empty()) {
        return "entry \"" + listing.unflagged[0] +
               "\" has a non-ASCII name without the ZIP UTF-8 flag; Windows would extract it "
               "under another name. Build the archive with \"varnix-repo pack DIR --out "
               "NAME.zip\"";
    }
    return forbiddenEntryProblem(packageName, listing);
}

// A line that rewrites itself on the terminal while a large archive is packed or copied.
Progress progressLine(const std::string& what, std::ostream& err) {
    return [what, &err, shown = -1](double fraction) mutable {
        const int percent = static_cast<int>(fraction * 100);
        if (percent == shown) return;
        shown = percent;
        err << "\r" << what << ": " << percent << "%" << (percent >= 100 ? "\n" : "") << std::flush;
    };
}

// Builds the release in `staging`; returns an error text, empty on success.
std::string buildRelease(const PrivateKey& key, std::vector<PackageLine>& packages,
                         const std::string& freshness, const fs::path& staging, bool progress,
                         std::ostream& err) {
    std::error_code code;
    fs::create_directories(staging / "packages", code);
    if (code) return "cannot create " + (staging / "packages").string() + ": " + code.message();
    std::string manifest = kManifestComment + freshness;
    for (PackageLine& package : packages) {
        const fs::path copy = staging / "packages" / package.archiveName;
        std::string data, error;
        if (fs::is_directory(package.archivePath, code)) {
            error = packDirectory(
                package.archivePath, copy.string(),
                progress ? progressLine("packing " + package.archivePath, err) : Progress());
            if (!error.empty()) return error;
        } else {
            if (!readFile(package.archivePath, data, error, "archive")) return error;
            const bool large = progress && data.size() >= kProgressFromBytes;
            if (!writeFile(
                    copy.string(), data, error, 0644,
                    large ? progressLine("copying " + package.archivePath, err) : Progress()))
                return error;
        }
        if (data.empty() && !readFile(copy.string(), data, error)) return error;
        const ArchiveListing listing = listArchive(copy.string());
        if (std::string problem = archiveProblem(package.name, listing); !problem.empty())
            return package.archivePath + " " + problem;
        if (!package.filesGiven) package.files = listing.files;
        if (std::string problem = duplicateListedFile(package.files); !problem.empty())
            return package.archivePath + ": " + problem;
        for (const std::string& item : package.files) {
            if (std::string problem = checkFileItem(item); !problem.empty()) {
                return package.archivePath + ": " + problem;
            }
            if (!listedFileInArchive(item, listing)) {
                return package.archivePath + " does not hold listed file " + item;
            }
        }
        if (std::string problem = launcherLayoutProblem(package.name, package.files, listing);
            !problem.empty()) {
            return package.archivePath + ": " + problem;
        }
        manifest += "package|" + package.name + "|" + package.archiveName + "|" + sha256Hex(data) +
                    "|" + (package.required ? "1" : "0") + "|" + joinFiles(package.files) + "\n";
    }
    return signAndWriteManifest(key, manifest, staging);
}

// The same packages as `source`, archives copied and checked, under new freshness lines.
std::string rebuildRelease(const PrivateKey& key, const fs::path& source,
                           const std::string& freshness, const fs::path& staging) {
    std::string sourceManifest, error;
    if (!readFile((source / "manifest.txt").string(), sourceManifest, error)) return error;
    std::error_code code;
    fs::create_directories(staging / "packages", code);
    if (code) return "cannot create " + (staging / "packages").string() + ": " + code.message();
    std::string manifest = kManifestComment + freshness;
    for (const std::string& rawLine : varnix::splitString(sourceManifest, '\n')) {
        const std::string line = varnix::trimWhitespace(rawLine);
        const varnix::Manifest entries = varnix::parseManifest(line);
        if (entries.empty()) continue;  // old freshness lines, comments
        std::string data;
        const fs::path archive = source / "packages" / entries[0].archive;
        if (!checkComponent("archive", entries[0].archive).empty() ||
            !readFile(archive.string(), data, error) || sha256Hex(data) != entries[0].sha256) {
            return archive.string() + " is missing or differs from its manifest";
        }
        if (!writeFile((staging / "packages" / entries[0].archive).string(), data, error))
            return error;
        manifest += line + "\n";
    }
    return signAndWriteManifest(key, manifest, staging);
}

constexpr char kStagingMark[] = ".partial-";

// Staging directories that a killed run left beside `target`: their process is gone.
void removeStaleStaging(const fs::path& target) {
    const std::string prefix = target.filename().string() + kStagingMark;
    std::error_code code;
    for (const fs::directory_entry& entry : fs::directory_iterator(target.parent_path(), code)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) != 0) continue;
        const std::string pid = name.substr(prefix.size());
        if (pid.empty() || pid.size() > 9 || pid.find_first_not_of("0123456789") != pid.npos)
            continue;
        if (::kill(static_cast<pid_t>(std::stol(pid)), 0) != 0 && errno == ESRCH) {
            std::error_code ignored;
            fs::remove_all(entry.path(), ignored);
        }
    }
}

// Builds a release beside `target` and renames it into place, so a failed build leaves nothing.
std::string placeRelease(const fs::path& target,
                         const std::function<std::string(const fs::path&)>& build) {
    std::error_code code;
    // Not found (also under a file, which the build then reports) is the one state to go on.
    if (fs::symlink_status(target, code).type() != fs::file_type::not_found) {
        return code ? "cannot check " + target.string() + ": " + code.message()
                    : target.string() + " exists; every release goes into a new directory";
    }
    removeStaleStaging(target);
    const fs::path staging = target.string() + kStagingMark + std::to_string(::getpid());
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
    if (!readFile((release / "manifest.txt").string(), manifest, error) ||
        !readFile((release / "manifest.txt.sig").string(), signature, error)) {
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
    std::string manifest, error;
    if (!readFile((release / "manifest.txt").string(), manifest, error)) return std::nullopt;
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
    if (verifyCommand(key.publicKeyPath, release.string(), Output::Text, verifyOut, verifyErr) !=
        0) {
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

// What a symlinked LINK serves, spelled as the history spells it; nothing when LINK is absent.
// False when LINK is something else, whose release the history cannot be compared with.
bool servedRelease(const std::string& link, fs::path& served) {
    std::error_code code;
    const fs::file_status status = fs::symlink_status(link, code);
    if (status.type() == fs::file_type::not_found) {
        served.clear();
        return true;
    }
    if (code || status.type() != fs::file_type::symlink) return false;
    const fs::path target = fs::read_symlink(link, code);
    if (code) return false;
    served = releaseDirectory((fs::path(link).parent_path() / target).string());
    return true;
}

// A kill between the history line and the link's move leaves a last line that never went live;
// taking it back first keeps the history in step with the link, so rollback cannot pick it. Where
// no link is left, nothing tells that: a link removed by hand served that release, and its line
// stays.
bool retractUnservedLastEntry(const std::string& link, std::string& error) {
    const std::vector<fs::path> history = readHistory(link);
    fs::path served;
    if (history.empty() || !servedRelease(link, served) || served.empty() ||
        history.back() == served)
        return true;
    return retractHistory(link, history.back(), error);
}

// The history line goes to the disk before the link moves, so the history never lacks a release
// that went live and rollback never picks the wrong predecessor; a switch that fails takes its
// line back. Returns whether the link moved; `warning` tells when the move may not survive a
// crash yet.
bool switchAndRecord(const fs::path& target, const std::string& link, std::string& error,
                     std::string& warning) {
    if (!retractUnservedLastEntry(link, error) || !appendHistory(link, target, error)) return false;
    if (!activate(target, link, error)) {
        if (std::string problem; !retractHistory(link, target, problem)) {
            error += "\n" + problem + "; it still names " + target.string() +
                     ", which never went live: delete that last line before a rollback";
        }
        return false;
    }
    if (!syncParentDirectory(link, warning)) warning += "; a crash now could undo the switch";
    return true;
}

// What an operator must know after an attempted switch: what the link serves now.
int reportSwitch(const char* command, bool switched, const std::string& link,
                 const fs::path& target, const std::string& error, const std::string& warning,
                 std::ostream& out, std::ostream& err) {
    if (!switched) {
        err << command << ": " << error << "\n"
            << command << ": " << link << " still serves what it served\n";
        return 1;
    }
    if (!warning.empty()) err << command << ": warning: " << warning << "\n";
    out << link << " now serves " << target.string();
    return 0;
}

}  // namespace

int keygenCommand(const std::string& outDir, const std::optional<std::string>& passphrase,
                  std::ostream& out, std::ostream& err) {
    std::error_code code;
    fs::create_directories(outDir, code);
    if (code) {
        err << "keygen: cannot create " << outDir << ": " << code.message() << "\n";
        return 1;
    }
    const std::string privatePath = (fs::path(outDir) / "manifest-private.pem").string();
    const std::string publicPath = (fs::path(outDir) / "manifest-public.pem").string();
    std::string error, fingerprint;
    if (!generateKeyPair(privatePath, publicPath, passphrase, error) ||
        !publicKeyFingerprint(publicPath, fingerprint, error)) {
        err << "keygen: " << error << "\n";
        return 1;
    }
    out << "wrote " << privatePath << (passphrase ? " (encrypted; " : " (")
        << "keep it secret) and " << publicPath << "\nfingerprint: " << fingerprint << "\n";
    return 0;
}

int rekeyCommand(const PrivateKey& key, const std::string& newPassphrase, std::ostream& out,
                 std::ostream& err) {
    std::string error;
    std::string rewritten;
    if (!rekeyPrivateKey(key, newPassphrase, rewritten, error)) {
        err << "rekey: " << error << "\n"
            << "rekey: " << key.path << " is unchanged\n";
        return 1;
    }
    out << "rewrote " << key.path << " (encrypted with the new passphrase; keep it secret)\n";
    if (!syncParentDirectory(rewritten, error))
        err << "rekey: warning: " << error << "; a crash now could bring back the old file\n";
    return 0;
}

int fingerprintCommand(const std::string& publicKeyPath, std::ostream& out, std::ostream& err) {
    std::string fingerprint, error;
    if (!publicKeyFingerprint(publicKeyPath, fingerprint, error)) {
        err << "fingerprint: " << error << "\n";
        return 1;
    }
    out << fingerprint << "\n";
    return 0;
}

int packCommand(const std::string& directory, const std::string& zipPath, bool progress,
                std::ostream& out, std::ostream& err) {
    const std::string error = packDirectory(
        directory, zipPath, progress ? progressLine("packing " + directory, err) : Progress());
    std::string data, readError;
    if (!error.empty() || !readFile(zipPath, data, readError)) {
        err << "pack: " << (error.empty() ? readError : error) << "\n";
        return 1;
    }
    out << "wrote " << zipPath << " (" << listArchive(zipPath).files.size() << " file(s), sha256 "
        << sha256Hex(data) << ")\n";
    return 0;
}

int signCommand(const PrivateKey& key, const std::string& file, const std::string& sigPath,
                bool unchecked, std::ostream& out, std::ostream& err) {
    std::string data, signature, error;
    if (!readFile(file, data, error)) {
        err << "sign: " << error << "\n";
        return 1;
    }
    // The launcher reads names as UTF-8; a manifest saved in a code page turns them into others.
    // --unchecked is for tests of the launcher's own defence, which need such files signed.
    if (!varnix::value_rules::isWellFormedUtf8(data) && !unchecked) {
        err << "sign: " << file << " is not valid UTF-8\n";
        return 1;
    }
    // A signature vouches for every line: a hand-edited line that the launcher would refuse is
    // refused here first.
    if (const std::vector<int> invalid = invalidPackageLines(data);
        !invalid.empty() && !unchecked) {
        for (int line : invalid)
            err << "sign: " << file << " line " << line << ": invalid package line\n";
        return 1;
    }
    if (!signBytes(key, data, signature, error) || !writeFile(sigPath, signature, error)) {
        err << "sign: " << error << "\n";
        return 1;
    }
    out << "wrote " << sigPath << "\n";
    return 0;
}

int publishCommand(const PublishOptions& options, std::ostream& out, std::ostream& err) {
    std::string listText, error;
    std::vector<PackageLine> packages;
    // The key first: a wrong key or passphrase must not cost the copy of every archive.
    if (!checkPrivateKey(options.key, error) ||
        !readFile(options.listPath, listText, error, "package list") ||
        !parsePackageList(listText, packages, error)) {
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
        return buildRelease(options.key, packages, freshness, staging, options.progress, err);
    });
    if (!error.empty()) {
        err << "publish: " << error << "\n";
        return 1;
    }
    out << "published " << packages.size() << " package(s) to " << target.string() << " (serial "
        << serial << ")\n";
    if (!options.activateLink.empty()) {
        error = checkBeforeSwitch(options.goLive, target, live, false);
        if (!error.empty()) {
            err << "publish: " << error << "\n"
                << "publish: " << options.activateLink << " still serves what it served\n";
            return 1;
        }
        std::string warning;
        const bool switched = switchAndRecord(target, options.activateLink, error, warning);
        if (reportSwitch("publish", switched, options.activateLink, target, error, warning, out,
                         err) != 0)
            return 1;
        out << "\n";
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
    if (!checkPrivateKey(options.key, error)) return fail(error);
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
    // A site whose serial cannot grow any more rolls back at its live serial, which launchers
    // take again.
    const bool atTheTop = live.lines.serial && *live.lines.serial >= kHighestSerial;
    const std::string sameSerial = atTheTop ? std::to_string(*live.lines.serial) : std::string();
    if (!chooseSerial(sameSerial, atTheTop, live, now, serial, error)) return fail(error);
    const fs::path target =
        source.parent_path() / (source.filename().string() + "-rollback-" + std::to_string(serial));
    error = placeRelease(target, [&](const fs::path& staging) {
        const std::string problem = rebuildRelease(
            options.key, source, freshnessHeader(serial, options.expiresInDays, now), staging);
        return problem.empty() ? checkBeforeSwitch(options.goLive, staging, live, false) : problem;
    });
    if (!error.empty()) return fail(error);
    std::string warning;
    const bool switched = switchAndRecord(target, options.link, error, warning);
    if (reportSwitch("rollback", switched, options.link, target, error, warning, out, err) != 0)
        return 1;
    out << ": the packages of " << source.string() << " under serial " << serial << "\n";
    return 0;
}

int activateCommand(const ActivateOptions& options, std::ostream& out, std::ostream& err) {
    LiveRelease live;
    std::string error;
    const fs::path release = releaseDirectory(options.release);
    std::error_code code;
    if (!fs::is_directory(release, code)) {
        error = options.release + " is not a release directory" +
                (code ? ": " + code.message() : std::string());
    } else if (readLiveRelease(options.link, live, error)) {
        error = checkBeforeSwitch(options.goLive, release, live, options.force);
    }
    if (!error.empty()) {
        err << "activate: " << error << "\n";
        return 1;
    }
    std::string warning;
    const bool switched = switchAndRecord(release, options.link, error, warning);
    if (reportSwitch("activate", switched, options.link, release, error, warning, out, err) != 0)
        return 1;
    out << "\n";
    return 0;
}

namespace {

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20) {
            static constexpr char kHex[] = "0123456789abcdef";
            quoted += "\\u00";
            quoted += kHex[byte >> 4];
            quoted += kHex[byte & 15];
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::string jsonList(const std::vector<std::string>& items) {
    std::string list = "[";
    for (size_t i = 0; i < items.size(); ++i)
        list += (i ? "," : "") + items[i];
    return list + "]";
}

std::string jsonOptional(const std::optional<std::string>& value) {
    return value ? jsonString(*value) : "null";
}

std::string jsonPackage(const varnix::PackageEntry& entry) {
    std::vector<std::string> files;
    for (const std::string& item : entry.files) {
        if (!item.empty()) files.push_back(jsonString(item));
    }
    return "{\"name\":" + jsonString(entry.name) + ",\"archive\":" + jsonString(entry.archive) +
           ",\"sha256\":" + jsonString(entry.sha256) +
           ",\"required\":" + (entry.required ? "true" : "false") +
           ",\"files\":" + jsonList(files) + "}";
}

std::string jsonPackages(const varnix::Manifest& manifest) {
    std::vector<std::string> packages;
    for (const varnix::PackageEntry& entry : manifest)
        packages.push_back(jsonPackage(entry));
    return jsonList(packages);
}

std::optional<std::string> serialText(const varnix::FreshnessLines& lines) {
    if (!lines.serial) return std::nullopt;
    return std::to_string(*lines.serial);
}

std::optional<std::string> expiresText(const varnix::FreshnessLines& lines) {
    if (!lines.expiresAt) return std::nullopt;
    return lines.expiresText;
}

// Lines a launcher passes over without a word: a misspelt "pakage|" line is a package lost.
std::vector<int> unknownLines(const std::string& manifest) {
    std::vector<int> lines;
    int number = 0;
    for (const std::string& rawLine : varnix::splitString(manifest, '\n')) {
        ++number;
        const std::string line = varnix::trimWhitespace(rawLine);
        if (line.empty() || line[0] == '#') continue;
        size_t skipped = 0;
        const bool package = !varnix::parseManifest(line, &skipped).empty() || skipped > 0;
        const varnix::FreshnessLines freshness = varnix::parseFreshnessLines(line);
        const bool fresh = freshness.serial || freshness.expiresAt || !freshness.wellFormed;
        if (!package && !fresh) lines.push_back(number);
    }
    return lines;
}

}  // namespace

int statusCommand(const std::string& link, const std::string& publicKeyPath, Output format,
                  std::ostream& out, std::ostream& err) {
    LiveRelease live;
    std::string error, manifestText;
    if (!readLiveRelease(link, live, error)) {
        err << "status: " << error << "\n";
        return 1;
    }
    if (!live.exists ||
        !readFile((fs::path(link) / "manifest.txt").string(), manifestText, error)) {
        err << "status: " << link << " serves no release\n";
        return 1;
    }
    std::string fingerprint;
    if (!publicKeyPath.empty() && !publicKeyFingerprint(publicKeyPath, fingerprint, error)) {
        err << "status: " << error << "\n";
        return 1;
    }
    const bool valid =
        !publicKeyPath.empty() && signatureVerifies(publicKeyPath, fs::path(link), error);
    const varnix::Manifest manifest = varnix::parseManifest(manifestText);
    if (format == Output::Json) {
        out << "{\"live\":" << jsonString(live.directory.string())
            << ",\"serial\":" << serialText(live.lines).value_or("null")
            << ",\"expires\":" << jsonOptional(expiresText(live.lines))
            << ",\"packages\":" << jsonPackages(manifest)
            << ",\"fingerprint\":" << (publicKeyPath.empty() ? "null" : jsonString(fingerprint))
            << ",\"signatureValid\":"
            << (publicKeyPath.empty() ? "null"
                : valid               ? "true"
                                      : "false")
            << "}\n";
        return publicKeyPath.empty() || valid ? 0 : 1;
    }
    out << "live: " << live.directory.string() << "\n"
        << "serial: " << serialText(live.lines).value_or("none") << "\n"
        << "expires: " << expiresText(live.lines).value_or("never") << "\n";
    for (const varnix::PackageEntry& entry : manifest) {
        out << "package: " << entry.name << " " << entry.archive << " "
            << (entry.required ? "required" : "optional") << " " << entry.sha256 << "\n";
    }
    if (publicKeyPath.empty()) {
        out << "key: not checked (give --public-key)\n";
        return 0;
    }
    out << "key: " << fingerprint << (valid ? " (signature valid)" : " (signature does NOT verify)")
        << "\n";
    return valid ? 0 : 1;
}

int verifyCommand(const std::string& publicKeyPath, const std::string& siteDir, Output format,
                  std::ostream& out, std::ostream& err) {
    std::vector<std::string> problems;
    auto problem = [&](const std::string& text) { problems.push_back(text); };
    std::string freshness;
    varnix::Manifest manifest;
    std::string manifestText;
    // Collects every problem; the caller shows them one way or the other.
    [&] {
        const fs::path site = siteDir;
        std::string signature, error;
        if (!readFile((site / "manifest.txt").string(), manifestText, error)) problem(error);
        if (!readFile((site / "manifest.txt.sig").string(), signature, error)) problem(error);
        if (!problems.empty()) return;
        bool valid = false;
        if (!verifyBytes(publicKeyPath, manifestText, signature, valid, error)) {
            problem("public key: " + error);
            return;
        }
        if (!valid) problem("manifest.txt.sig does not verify manifest.txt with this key");
        if (!varnix::value_rules::isWellFormedUtf8(manifestText))
            problem("manifest.txt is not valid UTF-8");
        freshness = checkFreshness(manifestText, std::time(nullptr), problem);

        manifest = varnix::parseManifest(manifestText);
        if (manifest.empty()) problem("manifest.txt holds no valid package line");
        for (int line : invalidPackageLines(manifestText))
            problem("manifest.txt line " + std::to_string(line) + ": invalid package line");
        for (int line : unknownLines(manifestText)) {
            problem("manifest.txt line " + std::to_string(line) +
                    ": unknown line, which launchers pass over: \"" +
                    varnix::trimWhitespace(varnix::splitString(manifestText, '\n')[line - 1]) +
                    "\"");
        }
        std::map<std::string, std::string> names;
        for (const varnix::PackageEntry& entry : manifest) {
            const std::string where = "package " + entry.name + ": ";
            if (auto [it, fresh] = names.emplace(windowsKey(entry.name), entry.name); !fresh)
                problem(where + "the same name on Windows as package " + it->second);
            if (std::string duplicate = duplicateListedFile(entry.files); !duplicate.empty())
                problem(where + duplicate);
            const fs::path archive = site / "packages" / entry.archive;
            std::string data;
            if (!checkComponent("archive", entry.archive).empty() ||
                !readFile(archive.string(), data, error)) {
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
            if (listing.escaping.empty()) {
                if (std::string text = archiveProblem(entry.name, listing); !text.empty())
                    problem(where + "archive " + text);
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
    }();
    if (format == Output::Json) {
        std::vector<std::string> quoted;
        for (const std::string& text : problems)
            quoted.push_back(jsonString(text));
        const varnix::FreshnessLines lines = varnix::parseFreshnessLines(manifestText);
        out << "{\"ok\":" << (problems.empty() ? "true" : "false")
            << ",\"serial\":" << serialText(lines).value_or("null")
            << ",\"expires\":" << jsonOptional(expiresText(lines))
            << ",\"packages\":" << jsonPackages(manifest) << ",\"problems\":" << jsonList(quoted)
            << "}\n";
    } else if (problems.empty()) {
        out << freshness << "ok: " << manifest.size() << " package(s), signature valid\n";
    } else {
        for (const std::string& text : problems)
            err << text << "\n";
    }
    return problems.empty() ? 0 : 1;
}

}  // namespace varnix_repo
