#pragma once
// RSA-3072 keys, SHA-256 and PKCS #1 v1.5 signatures, on OpenSSL's libcrypto.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace varnix_repo {

// A private key file and, for an encrypted one, its passphrase. Without a passphrase an
// encrypted key is refused: the tool never prompts, it runs in scripts.
struct PrivateKey {
    std::string path;
    std::optional<std::string> passphrase;
};

// How a private key is encrypted: PKCS #8, AES-256-CBC, its key from the passphrase by
// PBKDF2-HMAC-SHA256 with this many iterations, so that a stolen key file is slow to guess at
// (unlocking takes about 0.2 s). Keys written with fewer iterations still read.
inline constexpr int kKeyIterations = 600000;
// The longest passphrase a new key takes: `openssl pkey -passin file:` reads no more, and OpenSSL
// reads one byte more at most from any source, so a longer one would lock the key.
inline constexpr size_t kMaxPassphraseBytes = 1023;

// Each returns false and fills `error` on failure; errors name the file and give the reason.
// `passphrase` set: the private key file is encrypted with it. The private key is read back
// before this reports success; on failure no file of the pair is left behind.
bool generateKeyPair(const std::string& privatePath, const std::string& publicPath,
                     const std::optional<std::string>& passphrase, std::string& error);
// Rewrites the private key encrypted with `newPassphrase` as generateKeyPair does: a new file
// beside it, 0600, read back with the new passphrase, then renamed over the old one. A symlinked
// key path is followed: `rewritten` names the file that was replaced, whose directory to flush.
bool rekeyPrivateKey(const PrivateKey& key, const std::string& newPassphrase,
                     std::string& rewritten, std::string& error);
// Reads and checks the key without using it, so a wrong key stops a command before its work.
bool checkPrivateKey(const PrivateKey& key, std::string& error);
bool signBytes(const PrivateKey& key, const std::string& data, std::string& signature,
               std::string& error);
// `valid` tells whether the signature verifies; false only for an unusable key. A launcher
// carries one key or two ("current.pem;next.pem" while the signing key is rotated): the
// signature is valid when either verifies it.
bool verifyBytes(const std::string& publicKeyPaths, const std::string& data,
                 const std::string& signature, bool& valid, std::string& error);
std::string sha256Hex(const std::string& data);
// SHA-256 of the DER SubjectPublicKeyInfo, lower-case hex: the launcher files its stored serial
// under it, and release.sh prints it. Two keys give both, separated by ";".
bool publicKeyFingerprint(const std::string& publicKeyPaths, std::string& fingerprint,
                          std::string& error);

// "cannot read [WHAT ]PATH: <OS reason>" and the like on failure. A directory is no file to read.
bool readFile(const std::string& path, std::string& content, std::string& error,
              const std::string& what = {});
// Told the fraction written so far, for a progress line.
using Progress = std::function<void(double fraction)>;
// Archives from this size on get a progress line on a terminal.
inline constexpr uint64_t kProgressFromBytes = uint64_t{64} << 20;

bool writeFile(const std::string& path, const std::string& content, std::string& error,
               unsigned mode = 0644, const Progress& progress = {});
// Appends `text` to `path` (created 0644 when missing) and flushes it to the disk, with the
// directory entry of a file it created.
bool appendFileDurably(const std::string& path, const std::string& text, std::string& error);
// Flushes the directory that holds `path`, so that a rename or a new name in it survives a crash.
bool syncParentDirectory(const std::string& path, std::string& error);

}  // namespace varnix_repo
