// varnix-repo: keys, manifest, signature and verification for release engineers.
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "repo_commands.h"

namespace {

constexpr char kUsage[] =
    "usage:\n"
    "  varnix-repo keygen --out DIR\n"
    "  varnix-repo sign --key PRIVATE.pem FILE [--out FILE.sig] [--unchecked]\n"
    "  varnix-repo publish --key PRIVATE.pem --packages LIST --out SITE_DIR\n"
    "                      [--activate LINK --public-key PUBLIC.pem [--fingerprint SHA256]\n"
    "                       | --link LINK] [--serial N [--force-serial]] [--expires-in DAYS]\n"
    "  varnix-repo verify --public-key PUBLIC.pem SITE_DIR\n"
    "  varnix-repo activate RELEASE --link LINK --public-key PUBLIC.pem [--fingerprint SHA256]\n"
    "                       [--force]\n"
    "  varnix-repo rollback --link LINK --key PRIVATE.pem --public-key PUBLIC.pem\n"
    "                       [--fingerprint SHA256] [--to RELEASE] [--expires-in DAYS]\n"
    "  varnix-repo status --link LINK [--public-key PUBLIC.pem]\n"
    "Every switch of LINK first checks the release as launchers built with PUBLIC.pem would.\n"
    "LIST: one package a line, name|archive.zip|required(0/1)[|file;file...]\n"
    "      without the files field, every file of the archive is listed.\n"
    "The serial defaults to the UTC time as yyyymmddHHMMSS, or the live release's + 1.\n";

struct Arguments {
    std::string command;
    std::vector<std::string> positional;
    std::string key, publicKey, packages, out, activate, link, serial, expiresIn, to, fingerprint;
    bool forceSerial = false, force = false;
    bool unchecked = false;  // sign a manifest with invalid package lines all the same
};

// A day count of at most four digits: anything longer is a typo, not a plan.
bool parseDays(const std::string& text, long& days) {
    if (text.empty() || text.size() > 4 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    days = std::stol(text);
    return true;
}

bool parse(int argc, char** argv, Arguments& args) {
    if (argc < 2) return false;
    args.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        std::string* target = word == "--key"           ? &args.key
                              : word == "--public-key"  ? &args.publicKey
                              : word == "--packages"    ? &args.packages
                              : word == "--out"         ? &args.out
                              : word == "--activate"    ? &args.activate
                              : word == "--link"        ? &args.link
                              : word == "--serial"      ? &args.serial
                              : word == "--expires-in"  ? &args.expiresIn
                              : word == "--to"          ? &args.to
                              : word == "--fingerprint" ? &args.fingerprint
                                                        : nullptr;
        if (word == "--unchecked") {
            args.unchecked = true;
        } else if (word == "--force-serial") {
            args.forceSerial = true;
        } else if (word == "--force") {
            args.force = true;
        } else if (target != nullptr) {
            if (++i >= argc) return false;
            *target = argv[i];
        } else if (word.rfind("--", 0) == 0) {
            return false;
        } else {
            args.positional.push_back(word);
        }
    }
    return true;
}

int run(const Arguments& a) {
    using namespace varnix_repo;
    if (a.command == "keygen" && !a.out.empty() && a.positional.empty()) {
        return keygenCommand(a.out, std::cout, std::cerr);
    }
    if (a.command == "sign" && !a.key.empty() && a.positional.size() == 1) {
        const std::string sig = a.out.empty() ? a.positional[0] + ".sig" : a.out;
        return signCommand(a.key, a.positional[0], sig, a.unchecked, std::cout, std::cerr);
    }
    long days = -1;
    if (!a.expiresIn.empty() && !parseDays(a.expiresIn, days)) {
        std::cerr << "--expires-in takes a number of days\n" << kUsage;
        return 2;
    }
    const GoLiveKey goLive{a.publicKey, a.fingerprint};
    if (a.command == "publish" && !a.activate.empty() && a.publicKey.empty()) {
        std::cerr << "publish: --activate needs --public-key, the key the launchers verify "
                     "with; a release is checked with it before it goes live\n";
        return 2;
    }
    if (a.command == "publish" && !a.key.empty() && !a.packages.empty() && !a.out.empty() &&
        a.positional.empty() && (a.activate.empty() || a.link.empty()) &&
        (!a.forceSerial || !a.serial.empty()) && a.to.empty() && !a.force) {
        return publishCommand({.keyPath = a.key,
                               .listPath = a.packages,
                               .outDir = a.out,
                               .goLive = goLive,
                               .activateLink = a.activate,
                               .liveLink = a.link,
                               .serial = a.serial,
                               .forceSerial = a.forceSerial,
                               .expiresInDays = days},
                              std::cout, std::cerr);
    }
    if (a.command == "rollback" && !a.link.empty() && !a.key.empty() && !a.publicKey.empty() &&
        a.positional.empty() && a.serial.empty() && !a.forceSerial && !a.force) {
        return rollbackCommand(
            {.link = a.link, .keyPath = a.key, .goLive = goLive, .to = a.to, .expiresInDays = days},
            std::cout, std::cerr);
    }
    if (a.command == "activate" && a.positional.size() == 1 && !a.link.empty() &&
        !a.publicKey.empty()) {
        return activateCommand(
            {.release = a.positional[0], .link = a.link, .goLive = goLive, .force = a.force},
            std::cout, std::cerr);
    }
    if (a.command == "status" && !a.link.empty() && a.positional.empty()) {
        return statusCommand(a.link, a.publicKey, std::cout, std::cerr);
    }
    if (a.command == "verify" && !a.publicKey.empty() && a.positional.size() == 1) {
        return verifyCommand(a.publicKey, a.positional[0], std::cout, std::cerr);
    }
    std::cerr << kUsage;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args;
    if (!parse(argc, argv, args)) {
        std::cerr << kUsage;
        return 2;
    }
    try {
        return run(args);
    } catch (const std::bad_alloc&) {
        std::cerr << "varnix-repo: out of memory\n";
    } catch (const std::exception& error) {
        std::cerr << "varnix-repo: " << error.what() << "\n";
    }
    return 1;
}
