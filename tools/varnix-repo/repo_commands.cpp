#include "repo_commands.h"

#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string_view>

#include "manifest/manifest.h"
#include "manifest/value_rules.h"
#include "repo_archive.h"
#include "repo_crypto.h"

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

std::string joinFiles(const std::vector<std::string>& files) {
    std::string joined;
    for (size_t i = 0; i < files.size(); ++i)
        joined += (i ? ";" : "") + files[i];
    return joined;
}

// Builds the release in `staging`; returns an error text, empty on success.
std::string buildRelease(const std::string& keyPath, std::vector<PackageSpec>& specs,
                         const fs::path& staging) {
    fs::create_directories(staging / "packages");
    std::string manifest = "# Varnix package manifest\n";
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
        const std::string archiveName = fs::path(spec.archivePath).filename().string();
        if (!writeFile((staging / "packages" / archiveName).string(), data)) {
            return "cannot write " + archiveName;
        }
        manifest += "package|" + spec.name + "|" + archiveName + "|" + sha256Hex(data) + "|" +
                    (spec.required ? "1" : "0") + "|" + joinFiles(spec.files) + "\n";
    }
    std::string signature;
    std::string error;
    if (!signBytes(keyPath, manifest, signature, error)) return error;
    if (!writeFile((staging / "manifest.txt").string(), manifest) ||
        !writeFile((staging / "manifest.txt.sig").string(), signature)) {
        return "cannot write the manifest or its signature";
    }
    return {};
}

// Points `link` at `target` in one rename, so the site never serves a half-switched release.
bool activate(const fs::path& target, const fs::path& link, std::string& error) {
    const fs::path staging = link.string() + ".new-" + std::to_string(::getpid());
    std::error_code code;
    fs::remove(staging, code);
    fs::create_directory_symlink(fs::absolute(target), staging, code);
    if (!code) fs::rename(staging, link, code);
    if (code) {
        error = "cannot switch " + link.string() + ": " + code.message();
        fs::remove(staging, code);
        return false;
    }
    return true;
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

int publishCommand(const std::string& keyPath, const std::string& listPath,
                   const std::string& outDir, const std::string& activateLink, std::ostream& out,
                   std::ostream& err) {
    std::string listText, error;
    std::vector<PackageSpec> specs;
    if (!readFile(listPath, listText)) {
        err << "publish: cannot read package list " << listPath << "\n";
        return 1;
    }
    if (!parsePackageList(listText, specs, error)) {
        err << "publish: " << error << "\n";
        return 1;
    }
    const fs::path target = outDir;
    if (fs::exists(target)) {
        err << "publish: " << outDir << " exists; every release goes into a new directory\n";
        return 1;
    }
    const fs::path staging = target.string() + ".partial-" + std::to_string(::getpid());
    std::error_code code;
    fs::remove_all(staging, code);
    error = buildRelease(keyPath, specs, staging);
    if (error.empty()) {
        fs::rename(staging, target, code);
        if (code) error = "cannot move the release into place: " + code.message();
    }
    if (!error.empty()) {
        fs::remove_all(staging, code);
        err << "publish: " << error << "\n";
        return 1;
    }
    out << "published " << specs.size() << " package(s) to " << outDir << "\n";
    if (!activateLink.empty()) {
        if (!activate(target, activateLink, error)) {
            err << "publish: " << error << "\n";
            return 1;
        }
        out << activateLink << " now serves " << outDir << "\n";
    }
    return 0;
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
    }
    if (problems) return 1;
    out << "ok: " << manifest.size() << " package(s), signature valid\n";
    return 0;
}

}  // namespace varnix_repo
