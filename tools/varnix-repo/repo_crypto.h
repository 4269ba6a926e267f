#pragma once
// RSA-3072 keys, SHA-256 and PKCS #1 v1.5 signatures, on OpenSSL's libcrypto.

#include <string>

namespace varnix_repo {

// Each returns false and fills `error` on failure.
bool generateKeyPair(const std::string& privatePath, const std::string& publicPath,
                     std::string& error);
bool signBytes(const std::string& privateKeyPath, const std::string& data, std::string& signature,
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

bool readFile(const std::string& path, std::string& content);
bool writeFile(const std::string& path, const std::string& content, unsigned mode = 0644);

}  // namespace varnix_repo
