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
    "  varnix-repo publish --key PRIVATE.pem --packages LIST --out SITE_DIR [--activate LINK]\n"
    "  varnix-repo verify --public-key PUBLIC.pem SITE_DIR\n"
    "LIST: one package a line, name|archive.zip|required(0/1)[|file;file...]\n"
    "      without the files field, every file of the archive is listed.\n";

struct Arguments {
    std::string command;
    std::vector<std::string> positional;
    std::string key, publicKey, packages, out, activate;
    bool unchecked = false;  // sign a manifest with invalid package lines all the same
};

bool parse(int argc, char** argv, Arguments& args) {
    if (argc < 2) return false;
    args.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        std::string* target = word == "--key"          ? &args.key
                              : word == "--public-key" ? &args.publicKey
                              : word == "--packages"   ? &args.packages
                              : word == "--out"        ? &args.out
                              : word == "--activate"   ? &args.activate
                                                       : nullptr;
        if (word == "--unchecked") {
            args.unchecked = true;
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
    if (a.command == "publish" && !a.key.empty() && !a.packages.empty() && !a.out.empty() &&
        a.positional.empty()) {
        return publishCommand(a.key, a.packages, a.out, a.activate, std::cout, std::cerr);
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
