#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "repo_crypto.h"

namespace varnix_repo {

// How results are shown: lines for people, or one JSON object for scripts.
enum class Output { Text, Json };

// Each command writes its messages to `out` (results) and `err` (problems) and returns the
// process exit code: 0 on success.
// `passphrase` set: the private key is written encrypted with it.
int keygenCommand(const std::string& outDir, const std::optional<std::string>& passphrase,
                  std::ostream& out, std::ostream& err);
// Encrypts an existing private key anew with `newPassphrase` (see rekeyPrivateKey).
int rekeyCommand(const PrivateKey& key, const std::string& newPassphrase, std::ostream& out,
                 std::ostream& err);
int fingerprintCommand(const std::string& publicKeyPath, std::ostream& out, std::ostream& err);
// A package archive from a folder; see packDirectory. `progress` shows a line on a terminal.
int packCommand(const std::string& directory, const std::string& zipPath, bool progress,
                std::ostream& out, std::ostream& err);
// Refuses a file with a "package|" line that the launcher would skip, unless `unchecked`.
int signCommand(const PrivateKey& key, const std::string& file, const std::string& sigPath,
                bool unchecked, std::ostream& out, std::ostream& err);
// What a release must pass before a link serves it: the key the launchers were built with, and
// optionally that key's expected fingerprint.
struct GoLiveKey {
    std::string publicKeyPath;
    std::string fingerprint;  // empty: not checked
};

struct PublishOptions {
    PrivateKey key;
    std::string listPath, outDir;
    GoLiveKey goLive;
    std::string activateLink;  // switched to the new release when given
    std::string liveLink;      // the live release, when it is not the one to switch
    std::string serial;        // empty: the default serial
    bool forceSerial = false;
    long expiresInDays = -1;  // negative: no expires line
    bool progress = false;    // a progress line for large archives
};
int publishCommand(const PublishOptions& options, std::ostream& out, std::ostream& err);

struct RollbackOptions {
    std::string link;
    PrivateKey key;
    GoLiveKey goLive;
    std::string to;  // empty: the release before the live one in LINK.history
    long expiresInDays = -1;
};
// Re-publishes an earlier release's packages under a new, higher serial and switches to it.
int rollbackCommand(const RollbackOptions& options, std::ostream& out, std::ostream& err);

struct ActivateOptions {
    std::string release, link;
    GoLiveKey goLive;
    bool force = false;  // switch even to a lower serial than the live one
};
int activateCommand(const ActivateOptions& options, std::ostream& out, std::ostream& err);

// The live release behind a link: directory, serial, expiry, packages; with a public key also
// its fingerprint and whether the signature verifies with it.
int statusCommand(const std::string& link, const std::string& publicKeyPath, Output format,
                  std::ostream& out, std::ostream& err);
// Problems go to `err` as lines, or into the JSON object on `out`.
int verifyCommand(const std::string& publicKeyPath, const std::string& siteDir, Output format,
                  std::ostream& out, std::ostream& err);

}  // namespace varnix_repo
