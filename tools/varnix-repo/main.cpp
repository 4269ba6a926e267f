// varnix-repo: keys, archives, manifest, signature and verification for release engineers.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "repo_commands.h"
#include "repo_freshness.h"

namespace {

constexpr char kExitCodes[] =
    "Exit codes: 0 done; 1 refused or failed (the reason is on stderr; nothing went live);\n"
    "2 usage error.\n";

constexpr char kPassphraseNote[] =
    "An encrypted private key is read with the passphrase in VARNIX_KEY_PASSPHRASE or the\n"
    "first line of --passphrase-file; the tool never prompts.\n";

const std::string kEncryptionNote =
    "A key is encrypted as PKCS #8: AES-256-CBC, its key derived from the passphrase by\n"
    "PBKDF2-HMAC-SHA256 with " +
    std::to_string(varnix_repo::kKeyIterations) + " iterations. A passphrase may have at most " +
    std::to_string(varnix_repo::kMaxPassphraseBytes) + " bytes.\n";

const std::string kHighestSerialText = std::to_string(varnix_repo::kHighestSerial);

// One command: its usage, the options that take a value, the flags, and how many positional
// arguments it wants.
struct CommandInfo {
    const char* name;
    std::string usage;
    std::vector<std::string> valueOptions;
    std::vector<std::string> flags;
    std::vector<std::string> required;
    size_t positional;
    const char* positionalName;
};

const std::vector<CommandInfo>& commands() {
    static const std::vector<CommandInfo> table = {
        {"keygen",
         "varnix-repo keygen --out DIR [--encrypt [--passphrase-file FILE]]\n"
         "  Writes DIR/manifest-private.pem (0600) and DIR/manifest-public.pem and prints the\n"
         "  public key's fingerprint. --encrypt encrypts the private key with the passphrase.\n",
         {"--out", "--passphrase-file"},
         {"--encrypt"},
         {"--out"},
         0,
         ""},
        {"rekey",
         "varnix-repo rekey PRIVATE.pem [--passphrase-file FILE] [--new-passphrase-file FILE]\n"
         "  Encrypts the private key anew, with the passphrase in VARNIX_NEW_KEY_PASSPHRASE or\n"
         "  the first line of --new-passphrase-file: a new file (0600) that replaces the old one\n"
         "  only once it reads back. Keys encrypted before keep working as they are.\n",
         {"--passphrase-file", "--new-passphrase-file"},
         {},
         {},
         1,
         "PRIVATE.pem"},
        {"fingerprint",
         "varnix-repo fingerprint PUBLIC.pem\n"
         "  Prints the SHA-256 of the DER public key, lower-case hex, as BUILD-INFO.txt holds "
         "it.\n",
         {},
         {},
         {},
         1,
         "PUBLIC.pem"},
        {"pack",
         "varnix-repo pack DIR --out NAME.zip\n"
         "  Packs every file below DIR into a package archive: names relative to DIR, sorted,\n"
         "  flagged UTF-8, with fixed time stamps, attributes and compression, so the same folder\n"
         "  always gives the same bytes and hash.\n",
         {"--out"},
         {},
         {"--out"},
         1,
         "DIR"},
        {"sign",
         "varnix-repo sign --key PRIVATE.pem FILE [--out FILE.sig] [--passphrase-file FILE]\n"
         "                 [--unchecked]\n"
         "  Signs FILE; refuses a package line that launchers would skip (unless --unchecked).\n",
         {"--key", "--out", "--passphrase-file"},
         {"--unchecked"},
         {"--key"},
         1,
         "FILE"},
        {"publish",
         "varnix-repo publish --key PRIVATE.pem --packages LIST --out RELEASE_DIR\n"
         "                    [--activate LINK --public-key PUBLIC.pem [--fingerprint SHA256]\n"
         "                     | --link LINK] [--serial N [--force-serial]] [--expires-in DAYS]\n"
         "                    [--passphrase-file FILE]\n"
         "  Builds a new release directory. LIST: one package a line,\n"
         "    name|archive|required(0/1)[|file;file...]\n"
         "  where archive is a .zip file or a folder (packed as with `pack`); without the files\n"
         "  field every file of the archive is listed; two files that Windows takes for one\n"
         "  (\"/\" and \"\\\" alike, letter case folded for ASCII and Cyrillic letters only) are\n"
         "  refused. --activate switches LINK to the release\n"
         "  once it passes verify with PUBLIC.pem; --link only reads the live serial.\n"
         "  The serial defaults to the UTC time as yyyymmddHHMMSS, or the live release's + 1.\n"
         "  --serial N must be larger than the live serial and at most a day ahead of the clock;\n"
         "  --force-serial also allows one further ahead, or one equal to the live serial (the\n"
         "  same release signed again). No serial above " +
             kHighestSerialText + " is\n  given, except the live one again.\n",
         {"--key", "--packages", "--out", "--activate", "--link", "--public-key", "--fingerprint",
          "--serial", "--expires-in", "--passphrase-file"},
         {"--force-serial"},
         {"--key", "--packages", "--out"},
         0,
         ""},
        {"verify",
         "varnix-repo verify --public-key PUBLIC.pem RELEASE_DIR [--json]\n"
         "  Checks a release as a launcher built with PUBLIC.pem would, and what Windows would\n"
         "  trip on; lists every problem.\n",
         {"--public-key"},
         {"--json"},
         {"--public-key"},
         1,
         "RELEASE_DIR"},
        {"activate",
         "varnix-repo activate RELEASE_DIR --link LINK --public-key PUBLIC.pem\n"
         "                     [--fingerprint SHA256] [--force]\n"
         "  Switches LINK to an existing release after the same checks as verify; a serial\n"
         "  lower than the live one needs --force.\n",
         {"--link", "--public-key", "--fingerprint"},
         {"--force"},
         {"--link", "--public-key"},
         1,
         "RELEASE_DIR"},
        {"rollback",
         "varnix-repo rollback --link LINK --key PRIVATE.pem --public-key PUBLIC.pem\n"
         "                     [--fingerprint SHA256] [--to RELEASE_DIR] [--expires-in DAYS]\n"
         "                     [--passphrase-file FILE]\n"
         "  Publishes the packages of the previous (or the given) release again under a new,\n"
         "  higher serial (the live one again when it is " +
             kHighestSerialText + " or more) and\n  switches LINK to it.\n",
         {"--link", "--key", "--public-key", "--fingerprint", "--to", "--expires-in",
          "--passphrase-file"},
         {},
         {"--link", "--key", "--public-key"},
         0,
         ""},
        {"status",
         "varnix-repo status --link LINK [--public-key PUBLIC.pem] [--json]\n"
         "  Shows the live release: directory, serial, expiry, packages, and with --public-key\n"
         "  the key's fingerprint and whether the signature verifies.\n",
         {"--link", "--public-key"},
         {"--json"},
         {"--link"},
         0,
         ""},
    };
    return table;
}

const CommandInfo* findCommand(const std::string& name) {
    for (const CommandInfo& command : commands()) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

void printToolHelp(std::ostream& out) {
    out << "varnix-repo: keys, package archives and signed releases for Varnix launchers.\n\n"
           "usage: varnix-repo COMMAND [OPTIONS]   (varnix-repo COMMAND --help for one)\n\n";
    for (const CommandInfo& command : commands())
        out << command.usage << "\n";
    out << "Every switch of LINK first checks the release as launchers built with PUBLIC.pem "
           "would,\nand writes LINK.history's line to the disk before LINK moves; a switch "
           "that fails\ntakes that line back.\n"
        << kPassphraseNote << kEncryptionNote << kExitCodes;
}

void printCommandHelp(const CommandInfo& command, std::ostream& out) {
    out << "usage: " << command.usage;
    if (std::find(command.valueOptions.begin(), command.valueOptions.end(), "--passphrase-file") !=
        command.valueOptions.end()) {
        out << kPassphraseNote;
    }
    if (command.name == std::string("keygen") || command.name == std::string("rekey"))
        out << kEncryptionNote;
    out << kExitCodes;
}

struct Arguments {
    const CommandInfo* command = nullptr;
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> values;
    std::vector<std::string> flags;
    bool help = false;

    std::string value(const std::string& option) const {
        for (const auto& [name, text] : values) {
            if (name == option) return text;
        }
        return {};
    }
    bool has(const std::string& option) const {
        return std::find(flags.begin(), flags.end(), option) != flags.end() ||
               std::any_of(values.begin(), values.end(),
                           [&](const auto& pair) { return pair.first == option; });
    }
};

struct UsageError {
    std::string text;
};

// Reads the words after the command; returns what was wrong, empty when nothing.
std::string parseOptions(const CommandInfo& command, int argc, char** argv, Arguments& args) {
    auto contains = [](const std::vector<std::string>& list, const std::string& word) {
        return std::find(list.begin(), list.end(), word) != list.end();
    };
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            args.help = true;
        } else if (contains(command.flags, word)) {
            args.flags.push_back(word);
        } else if (contains(command.valueOptions, word)) {
            if (++i >= argc) return word + " needs a value";
            if (!args.value(word).empty()) return word + " is given twice";
            args.values.emplace_back(word, argv[i]);
        } else if (word.size() > 1 && word[0] == '-') {
            return "unknown option " + word;
        } else {
            args.positional.push_back(word);
        }
    }
    if (args.help) return {};
    for (const std::string& option : command.required) {
        if (args.value(option).empty()) return option + " is required";
    }
    if (args.positional.size() != command.positional) {
        return command.positional == 0 ? "unexpected argument " + args.positional[0]
                                       : "expected " + std::string(command.positionalName) +
                                             (args.positional.empty() ? "" : ", and nothing more");
    }
    return {};
}

// A day count of at most four digits: anything longer is a typo, not a plan.
bool parseDays(const std::string& text, long& days) {
    if (text.empty() || text.size() > 4 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    days = std::stol(text);
    return true;
}

// Where a passphrase comes from, never a prompt: a file's first line, or the environment.
struct PassphraseSource {
    const char* option;
    const char* variable;
};
constexpr PassphraseSource kKeyPassphrase{"--passphrase-file", "VARNIX_KEY_PASSPHRASE"};
constexpr PassphraseSource kNewKeyPassphrase{"--new-passphrase-file", "VARNIX_NEW_KEY_PASSPHRASE"};

std::optional<std::string> passphrase(const Arguments& a,
                                      const PassphraseSource& source = kKeyPassphrase) {
    const std::string file = a.value(source.option);
    if (!file.empty()) {
        std::string text, error;
        if (!varnix_repo::readFile(file, text, error)) throw UsageError{error};
        text = text.substr(0, text.find_first_of("\r\n"));
        if (text.empty()) throw UsageError{file + " holds an empty passphrase"};
        return text;
    }
    if (const char* variable = std::getenv(source.variable); variable && *variable)
        return std::string(variable);
    return std::nullopt;
}

varnix_repo::PrivateKey privateKey(const Arguments& a) {
    return {a.value("--key"), passphrase(a)};
}

long days(const Arguments& a) {
    long result = -1;
    if (a.has("--expires-in") && !parseDays(a.value("--expires-in"), result))
        throw UsageError{"--expires-in takes a number of days"};
    return result;
}

int run(const Arguments& a) {
    using namespace varnix_repo;
    const std::string command = a.command->name;
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    const Output format = a.has("--json") ? Output::Json : Output::Text;
    const GoLiveKey goLive{a.value("--public-key"), a.value("--fingerprint")};
    if (command == "keygen") {
        const std::optional<std::string> secret = passphrase(a);
        if (a.has("--encrypt") && !secret)
            throw UsageError{"--encrypt needs VARNIX_KEY_PASSPHRASE or --passphrase-file"};
        if (!a.has("--encrypt") && a.has("--passphrase-file"))
            throw UsageError{"--passphrase-file without --encrypt"};
        return keygenCommand(a.value("--out"), a.has("--encrypt") ? secret : std::nullopt,
                             std::cout, std::cerr);
    }
    if (command == "rekey") {
        const std::optional<std::string> secret = passphrase(a, kNewKeyPassphrase);
        if (!secret)
            throw UsageError{"rekey needs VARNIX_NEW_KEY_PASSPHRASE or --new-passphrase-file"};
        return rekeyCommand({a.positional[0], passphrase(a)}, *secret, std::cout, std::cerr);
    }
    if (command == "fingerprint") return fingerprintCommand(a.positional[0], std::cout, std::cerr);
    if (command == "pack")
        return packCommand(a.positional[0], a.value("--out"), terminal, std::cout, std::cerr);
    if (command == "sign") {
        const std::string sig = a.has("--out") ? a.value("--out") : a.positional[0] + ".sig";
        return signCommand(privateKey(a), a.positional[0], sig, a.has("--unchecked"), std::cout,
                           std::cerr);
    }
    if (command == "publish") {
        if (a.has("--activate") && a.has("--link"))
            throw UsageError{"--activate and --link exclude each other"};
        if (a.has("--activate") && !a.has("--public-key")) {
            throw UsageError{
                "--activate needs --public-key, the key the launchers verify with; a release "
                "is checked with it before it goes live"};
        }
        if (a.has("--force-serial") && !a.has("--serial"))
            throw UsageError{"--force-serial needs --serial"};
        return publishCommand({.key = privateKey(a),
                               .listPath = a.value("--packages"),
                               .outDir = a.value("--out"),
                               .goLive = goLive,
                               .activateLink = a.value("--activate"),
                               .liveLink = a.value("--link"),
                               .serial = a.value("--serial"),
                               .forceSerial = a.has("--force-serial"),
                               .expiresInDays = days(a),
                               .progress = terminal},
                              std::cout, std::cerr);
    }
    if (command == "rollback") {
        return rollbackCommand({.link = a.value("--link"),
                                .key = privateKey(a),
                                .goLive = goLive,
                                .to = a.value("--to"),
                                .expiresInDays = days(a)},
                               std::cout, std::cerr);
    }
    if (command == "activate") {
        return activateCommand({.release = a.positional[0],
                                .link = a.value("--link"),
                                .goLive = goLive,
                                .force = a.has("--force")},
                               std::cout, std::cerr);
    }
    if (command == "status")
        return statusCommand(a.value("--link"), a.value("--public-key"), format, std::cout,
                             std::cerr);
    return verifyCommand(a.value("--public-key"), a.positional[0], format, std::cout, std::cerr);
}

int usageError(const std::string& context, const std::string& text) {
    std::cerr << "varnix-repo" << context << ": " << text << "\n"
              << "run \"varnix-repo" << context << " --help\" for the usage\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "--help" || first == "-h" || first == "help") {
        if (argc > 2) {
            if (const CommandInfo* command = findCommand(argv[2])) {
                printCommandHelp(*command, std::cout);
                return 0;
            }
            return usageError("", std::string("unknown command ") + argv[2]);
        }
        printToolHelp(std::cout);
        return 0;
    }
    if (first == "--version") {
        std::cout << "varnix-repo " << VARNIX_REPO_VERSION << "\n";
        return 0;
    }
    if (first.empty()) return usageError("", "no command given");
    Arguments args;
    args.command = findCommand(first);
    if (args.command == nullptr) return usageError("", "unknown command " + first);
    const std::string context = " " + first;
    if (const std::string problem = parseOptions(*args.command, argc, argv, args);
        !problem.empty()) {
        return usageError(context, problem);
    }
    if (args.help) {
        printCommandHelp(*args.command, std::cout);
        return 0;
    }
    try {
        return run(args);
    } catch (const UsageError& error) {
        return usageError(context, error.text);
    } catch (const std::bad_alloc&) {
        std::cerr << "varnix-repo: out of memory\n";
    } catch (const std::exception& error) {
        std::cerr << "varnix-repo: " << error.what() << "\n";
    }
    return 1;
}
